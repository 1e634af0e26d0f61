// Settings-file helper of the configuration module: completes config.ini with its defaults.
#include "py.hpp"
#include "settings_file.hpp"

namespace {

// Gives the parser every option of one section's defaults that it lacks; the values it has stay.
// True when something was added.
bool add_missing(const py::object &parser, const py::handle &section, const py::dict &defaults) {
    bool added = false;
    if (!py::bool_(parser.attr("has_section")(section))) {
        parser.attr("add_section")(section);
        added = true;
    }
    for (auto [option, text] : defaults)
        if (!py::bool_(parser.attr("has_option")(section, option))) {
            parser.attr("set")(section, option, text);
            added = true;
        }
    return added;
}

// Completes settings.configparser with the defaults of settings.modelo. The file is written
// only when an option was missing (a first start leaves a complete config.ini behind); a complete
// file is not touched, so its comments, its date and a read-only mode stay. True when the file
// did not exist before.
bool manejoini(py::object settings) {
    py::object filename = settings.attr("ficheroini");
    bool is_new = !py::bool_(pymod("os.path").attr("exists")(filename));
    py::object parser = settings.attr("configparser");
    bool added = false;
    for (py::handle model : settings.attr("modelo"))
        for (auto [section, defaults] : model.cast<py::dict>())
            added = add_missing(parser, section, defaults.cast<py::dict>()) || added;
    if (added || is_new) write_settings(parser, filename);
    return is_new;
}

}  // namespace

PYBIND11_MODULE(libquorvaconfig, m) {
    m.def("manejoini", &manejoini, "settings"_a,
          "Completes the settings' parser with the defaults of its model, writes config.ini when "
          "an option was missing and returns True when the file did not exist.");
}
