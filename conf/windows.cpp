// The small helpers the windows share.
#include "windows.hpp"
#include "gui.hpp"
#include "services.hpp"
#include "settings_file.hpp"

std::string holded_api_settings_url() { return services::holded_app() + "home#settings:/api"; }

py::str support_line() { return py::str(std::string(tr("Necesita soporte Telefono ")) + maker::SUPPORT_PHONE); }

py::object first_selected(const py::handle &selection) {
    if (selection.is_none() || py::len(selection) == 0) return py::none();
    return selection[py::int_(0)];
}

bool save_settings(const py::object &self, std::initializer_list<Setting> values) {
    py::object parser = parser_of(self);
    for (const Setting &value : values) parser.attr("set")(value.section, value.option, value.value);
    try {
        write_settings(parser, settings_file_of(self));
    } catch (py::error_already_set &e) {
        // A folder that is gone or read-only, a full disk, a text no encoding can hold: in Python's words.
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_UnicodeError)) throw;
        show_popup("popup_error", tr("Error"),
                   py::str("{}\n{}").format(tr("No se ha podido guardar config.ini"), e.value()),
                   "keep_on_top"_a = true);
        return false;
    }
    return true;
}
