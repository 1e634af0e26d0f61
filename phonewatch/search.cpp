// The manual search window: a number typed or pasted by the user, looked up as a call's would be.
#include "phonewatch.hpp"

#include "fonts.hpp"
#include "gui.hpp"

#include <string>

namespace {

// The search window takes a number only from this many characters (blanks and + count).
constexpr size_t SEARCH_MIN_LENGTH = 9;

// A number the search can take: acceptable, with a digit, and long enough.
bool searchable(const py::str &text) {
    return py::len(text) >= SEARCH_MIN_LENGTH && validatenumero(text) && has_digit(text);
}

// The search field's colour and hint while the user types: blue once the text can be searched,
// orange (and the hint) while it cannot.
void colour_field(const py::object &window, const py::str &text) {
    if (searchable(text)) {
        window[py::str("-tlf-")].attr("update")("background_color"_a = "Blue");
        window[py::str("-HINT-")].attr("update")("value"_a = "");
    } else if (py::len(text) > 1) {
        window[py::str("-tlf-")].attr("update")("background_color"_a = "orange");
        window[py::str("-HINT-")].attr("update")("value"_a = tr("Escriba un teléfono de al menos 9 cifras"));
    }
}

py::list search_layout(const py::object &sg) {
    py::list layout;
    layout.append(make_list(sg.attr("Text")(tr("Telefono:"), "font"_a = fonts::HEADING)));
    layout.append(make_list(sg.attr("Input")("key"_a = "-tlf-", "size"_a = py::make_tuple(15, 0),
                                             "font"_a = fonts::FIELD, "enable_events"_a = true, "focus"_a = true)));
    layout.append(make_list(sg.attr("Text")("", "key"_a = "-HINT-", "size"_a = py::make_tuple(40, 1))));
    layout.append(make_list(sg.attr("Button")(tr("Buscar"), "p"_a = py::make_tuple(0, 5), "font"_a = fonts::HEADING,
                                              "key"_a = "buscar", "expand_x"_a = 10)));
    return layout;
}

}  // namespace

void look_up(const py::object &self, const py::str &number, const char *source) {
    py::object calls = py::getattr(self, "consultas", py::none());
    if (calls.is_none())
        pymod("crmprocs").attr("buscateam")(self, number, "origen"_a = source);
    else
        calls.attr("put")(py::make_tuple(number, source));
}

py::bool_ search_window(py::object self) {
    py::object sg = toolkit();
    py::object settings = self.attr("variable").attr("cvariables");
    // Closed on every way out, a failed lookup included (the tray reports the failure).
    ScopedWindow window(sg.attr("Window")(
        "", search_layout(sg), "return_keyboard_events"_a = true, "force_toplevel"_a = true, "icon"_a = window_icon(),
        "auto_close"_a = settings["autocierre"], "auto_close_duration"_a = settings["autocierre_tiempo"]));
    while (true) {
        auto [event, values] = read_event(*window);
        std::string name = py::isinstance<py::str>(event) ? event.cast<std::string>() : std::string();
        // A pasted number may carry a service prefix, other digits or invisible blanks.
        if (name == "-tlf-") colour_field(*window, clean_number(values[py::str("-tlf-")]));
        if (event.is_none() || is_escape(name)) break;
        if (name == "buscar" || is_enter(name)) {
            py::str text = clean_number(values[py::str("-tlf-")]);
            if (searchable(text)) {
                look_up(self, procetlf(text), "busqueda");
                break;
            }
        }
    }
    return py::bool_(true);
}
