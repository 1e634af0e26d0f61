// Settings-file helper of the configuration module: completes config.ini with its defaults.
#include "py.hpp"

namespace {

// Fills every section and option of settings.modelo that settings.configparser lacks with its
// default, keeps the values present, writes the completed file at once and tells whether the
// file is new.
bool manejoini(py::object settings) {
    py::object filename = settings.attr("ficheroini");
    bool is_new = !py::module_::import("os").attr("path").attr("exists")(filename).cast<bool>();
    py::object parser = settings.attr("configparser");
    for (py::handle model : settings.attr("modelo")) {
        for (py::handle entry : model.attr("items")()) {
            py::object section = entry[py::int_(0)];
            if (!parser.attr("has_section")(section).cast<bool>()) parser.attr("add_section")(section);
            for (py::handle option : entry[py::int_(1)].attr("items")()) {
                if (!parser.attr("has_option")(section, option[py::int_(0)]).cast<bool>())
                    parser.attr("set")(section, option[py::int_(0)], option[py::int_(1)]);
            }
        }
    }
    write_settings(parser, filename);
    return is_new;
}

}  // namespace

PYBIND11_MODULE(libquorvaconfig, m) {
    py::module_::import("os");
    m.def("manejoini", &manejoini, "settings"_a,
          "Completes the settings' parser with the defaults of its model, writes config.ini and "
          "returns True when the file did not exist.");
}
