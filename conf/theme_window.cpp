// The theme chooser and the about box.
#include "windows.hpp"

#include "failure.hpp"

namespace {

py::object tema(py::object self) {
    py::object sg = toolkit();
    py::list layout;
    layout.append(py::make_tuple(sg.attr("Text")(tr("Lista Aspecto disponible"))));
    layout.append(py::make_tuple(sg.attr("Text")(tr("Seleccione para ventana Ejemplo"))));
    layout.append(py::make_tuple(sg.attr("Listbox")("values"_a = sg.attr("theme_list")(), "size"_a = py::make_tuple(20, 12),
                                                    "key"_a = "-LIST-", "enable_events"_a = true)));
    layout.append(py::make_tuple(sg.attr("Button")(verbatim("OK"), "key"_a = "-ok-"), sg.attr("Button")(verbatim("Salir"), "key"_a = "-S-")));
    // The coffee-cup icon is missing from newer toolkits; the program's own icon stands in.
    py::object icon = py::getattr(sg, "ICON_BUY_ME_A_COFFEE", window_icon());
    ScopedWindow window(sg.attr("Window")(tr("Configura Aspecto"), layout, "icon"_a = icon, "keep_on_top"_a = true));

    // The selection as last read: after the window is closed with X the toolkit reports no values.
    py::object chosen = py::none();
    while (true) {
        auto [event, values] = read_window(*window);
        if (!values.is_none()) chosen = first_selected(values["-LIST-"]);
        if (event.is_none() || event.equal(py::str("-S-"))) break;
        if (event.equal(py::str("-ok-"))) {
            // "OK" before choosing anything leaves the settings as they are.
            if (chosen.is_none() || chosen.equal(self.attr("cvariables")["tema"])) break;
            py::object parser = self.attr("configparser");
            parser.attr("set")("windows", "tema", chosen);
            try {
                write_settings(parser, self.attr("ficheroini"));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_OSError) && !e.matches(PyExc_UnicodeError)) throw;
                sg.attr("popup_error")(tr("Error"),
                                       py::str(tr("No se ha podido guardar config.ini")) + py::str("\n") + py::str(e.value()),
                                       "keep_on_top"_a = true);
                continue;
            }
            sg.attr("theme")(chosen);
            break;
        }
        // A click in the list: the notice is the sample, drawn in the chosen theme.
        if (chosen.is_none()) continue;
        sg.attr("theme")(chosen);
        sg.attr("popup_auto_close")(verbatim("Este tema es  {}").format(chosen));
    }
    window.close();
    return chosen;
}

void Acercade() {
    open_page(py::str(maker::SITE_URL), 2, true);
    toolkit().attr("popup")(py::str(std::string(tr("Necesita soporte Telefono ")) + maker::SUPPORT_PHONE),
                            "keep_on_top"_a = true);
}

}  // namespace

void register_theme_window(py::module_ &m, SettingsClass &cls) {
    cls.def("tema", &tema, "Opens the theme chooser; returns the theme selected when it closed.");
    m.def("Acercade", &Acercade, "The about box: opens the maker's site, then shows the support line.");
}
