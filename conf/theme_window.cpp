// The theme chooser and the about box.
#include "windows.hpp"

#include "fonts.hpp"
#include "gui.hpp"
#include "version.hpp"
#include "settings_file.hpp"

namespace {

py::list theme_layout(const py::object &sg) {
    return make_list(
        make_list(sg.attr("Text")(tr("Lista Aspecto disponible"))),
        make_list(sg.attr("Text")(tr("Seleccione para ventana Ejemplo"))),
        make_list(sg.attr("Listbox")("values"_a = sg.attr("theme_list")(), "size"_a = py::make_tuple(20, 12),
                                     "key"_a = "-LIST-", "enable_events"_a = true)),
        make_list(sg.attr("Button")(verbatim("OK"), "key"_a = "-ok-"),
                  sg.attr("Button")(verbatim("Salir"), "key"_a = "-S-")));
}

py::object tema(py::object self) {
    py::object sg = toolkit();
    ScopedWindow window(sg.attr("Window")(tr("Configura Aspecto"), theme_layout(sg), "icon"_a = window_icon(),
                                          "keep_on_top"_a = true, "finalize"_a = true));
    // Escape leaves as "Salir" does.
    window->attr("bind")("<Escape>", "-S-");

    // The selection as last read: after the window is closed with X the toolkit reports no values.
    py::object chosen = py::none();
    while (true) {
        auto [event, values] = read_event(*window);
        if (!values.is_none()) chosen = first_selected(values["-LIST-"]);
        if (event.is_none() || event.equal(py::str("-S-"))) break;
        if (event.equal(py::str("-ok-"))) {
            // "OK" before choosing anything, or on the stored theme, leaves the file as it is.
            if (chosen.is_none() || chosen.equal(values_of(self)["tema"])) break;
            if (!save_settings(self, {{"windows", "tema", chosen}})) continue;
            sg.attr("theme")(chosen);
            break;
        }
        // A click in the list: the notice is the sample, drawn in the chosen theme. It is kept on
        // top as the chooser is, or the window manager would put it behind the chooser.
        if (chosen.is_none()) continue;
        sg.attr("theme")(chosen);
        show_popup("popup_auto_close", verbatim("Este tema es  {}").format(chosen), "keep_on_top"_a = true);
    }
    window.close();
    return chosen;
}

py::list about_layout(const py::object &sg) {
    return make_list(make_list(sg.attr("Text")(verbatim(product::NAME), "font"_a = fonts::LARGE)),
                     make_list(sg.attr("Text")(tr("Versión {}").format(product::VERSION), "key"_a = "-VERSION-")),
                     make_list(sg.attr("Text")(support_line())),
                     make_list(sg.attr("Button")(verbatim("OK"), "key"_a = "-OK-", "bind_return_key"_a = true)));
}

void Acercade() {
    open_page(py::str(maker::SITE_URL));
    py::object sg = toolkit();
    ScopedWindow window(sg.attr("Window")(tr("Acerca de"), about_layout(sg), "keep_on_top"_a = true,
                                          "icon"_a = window_icon(), "finalize"_a = true));
    // Escape closes it as "OK" does; so does any other way out.
    window->attr("bind")("<Escape>", "-OK-");
    read_event(*window);
    window.close();
}

}  // namespace

void register_theme_window(py::module_ &m, SettingsClass &cls) {
    cls.def("tema", &tema, "Opens the theme chooser; returns the theme selected when it closed.");
    m.def("Acercade", &Acercade,
          "The about box: opens the maker's site, then shows the product, its version and the support line.");
}
