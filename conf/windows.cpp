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

namespace {

// config.ini as it is on disk now, so that what was changed in it by hand while the program ran
// (other options, sections of the user's own) is written back as it stands. The settings' own
// parser when the file is gone, or was damaged (then set aside and the user told).
py::object file_as_it_is(const py::object &self) {
    py::object parser = settings_parser();
    py::object damage = read_settings(parser, settings_file_of(self));
    if (!damage.is_none()) tell_damaged_settings(damage);
    if (!damage.is_none() || py::len(parser.attr("sections")()) == 0) return parser_of(self);
    return parser;
}

// Brings every value of `from` into `to`; what `to` has besides stays.
void take_values(const py::object &to, const py::object &from) {
    if (to.is(from)) return;
    for (py::handle section : from.attr("sections")()) {
        if (!py::bool_(to.attr("has_section")(section))) to.attr("add_section")(section);
        for (py::handle option : from.attr("options")(section))
            to.attr("set")(section, option, from.attr("get")(section, option));
    }
}

}  // namespace

bool save_settings(const py::object &self, std::initializer_list<Setting> values) {
    py::object parser = parser_of(self);
    try {
        py::object on_disk = file_as_it_is(self);
        // Only what the window changed goes to the file: a value still as the window found it
        // leaves the file's own, which the user may have edited since.
        bool changed = false;
        for (const Setting &value : values) {
            py::str text(value.value);
            if (text.equal(parser.attr("get")(value.section, value.option, "fallback"_a = py::none()))) continue;
            if (!py::bool_(on_disk.attr("has_section")(value.section))) on_disk.attr("add_section")(value.section);
            on_disk.attr("set")(value.section, value.option, text);
            parser.attr("set")(value.section, value.option, text);
            changed = true;
        }
        if (changed) write_settings(on_disk, settings_file_of(self));
        take_values(parser, on_disk);
    } catch (py::error_already_set &e) {
        // A folder that is gone or read-only, a full disk, a text no encoding can hold: in Python's words.
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_UnicodeError)) throw;
        for (const Setting &value : values) parser.attr("set")(value.section, value.option, value.value);
        show_popup("popup_error", tr("Error"),
                   py::str("{}\n{}").format(tr("No se ha podido guardar config.ini"), e.value()),
                   "keep_on_top"_a = true);
        return false;
    }
    return true;
}
