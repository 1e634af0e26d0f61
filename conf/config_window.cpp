// The configuration window: API key, interface language, auto-close time, Android link, and the
// set-up pages the user needs (walked through on the first run).
#include "windows.hpp"

#include "embedded_images.hpp"
#include "failure.hpp"

namespace {

// Flag buttons, in the order they are shown; a separator follows the fourth.
struct Flag {
    const char *image;
    const char *key;
};
constexpr Flag FLAGS[] = {
    {"img\\es.png", "es-I-"}, {"img\\ca.png", "ca-I-"}, {"img\\gl.png", "gl-I-"}, {"img\\eu.png", "eu-I-"},
    {"img\\en.png", "en-I-"}, {"img\\fr.png", "fr-I-"}, {"img\\de.png", "de-I-"}, {"img\\nl.png", "nl-I-"},
    {"img\\it.png", "it-I-"}, {"img\\pt.png", "pt-I-"}, {"img\\no.png", "no-I-"},
};

py::str support_line() { return py::str(std::string(tr("Necesita soporte Telefono ")) + maker::SUPPORT_PHONE); }

// The event the toolkit reports for a menu item: its label without the first "&" (the
// accelerator mark), unless that "&" is escaped with a backslash.
py::str menu_event(const std::string &label) {
    std::string event = label;
    std::size_t pos = event.find('&');
    if (pos != std::string::npos && (pos == 0 || event[pos - 1] != '\\')) event.erase(pos, 1);
    return py::str(event);
}

// The slider shows whole numbers 0 to 10; a stored time outside that range (the default is 60)
// or not a whole number starts it at the nearest end instead of confusing the slider.
py::object slider_start(const py::object &stored) {
    py::object value = py::int_(60);  // what the settings store makes of an unreadable time
    try {
        value = py::int_(stored);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    }
    py::object builtins = py::module_::import("builtins");
    return builtins.attr("min")(10, builtins.attr("max")(0, value));
}

void first_run_guide(const py::object &sg) {
    open_page(py::str(maker::QUICK_START_URL), 2, true);
    sg.attr("popup_auto_close")(tr("Obtenga api_key API Holded"), tr("Obtenga Password_id API Holded"),
                                "title"_a = tr("Proceso API"), "keep_on_top"_a = true,
                                "icon"_a = sg.attr("SYSTEM_TRAY_MESSAGE_ICON_WARNING"), "auto_close_duration"_a = 2);
    open_page(py::str(holded_api_settings_url()), 1, true);
    sg.attr("popup_auto_close")(tr("Ejecute callcenter.msi para unir Terminal Android con Windows"),
                                tr("Instale en su terminal Android remotePhone"), "title"_a = tr("Proceso remotePhone"),
                                "keep_on_top"_a = true, "icon"_a = sg.attr("SYSTEM_TRAY_MESSAGE_ICON_WARNING"),
                                "auto_close_duration"_a = 2);
    open_page(py::str(maker::STORE_PAGE_URL), 2, true);
    open_page(py::str(maker::TUTORIAL_VIDEO_URL), 2, true);
    open_page(py::str(maker::INSTALLER_URL), 2, true);
}

py::list build_layout(const py::object &sg, const py::object &self, const py::object &about_label, bool android) {
    py::object parser = self.attr("configparser");
    py::object background = sg.attr("theme_background_color")();

    py::list flags;
    int position = 0;
    for (const Flag &flag : FLAGS) {
        flags.append(sg.attr("Button")("", "image_filename"_a = foldimg(py::str(flag.image)), "key"_a = flag.key,
                                       "border_width"_a = 0, "size"_a = py::make_tuple(1, 1)));
        if (++position == 4) flags.append(sg.attr("VerticalSeparator")());
    }

    py::list help_items;
    help_items.append("---");
    help_items.append(about_label);
    // Lists, not tuples: the toolkit edits the definition in place to strip the "&".
    py::list help_menu, menu_def;
    help_menu.append(tr("&Ayuda"));
    help_menu.append(help_items);
    menu_def.append(help_menu);

    py::object slider = sg.attr("Slider")(
        "range"_a = py::make_tuple(0, 10), "resolution"_a = 1, "disable_number_display"_a = false, "tick_interval"_a = 1,
        "key"_a = "-tiempo-", "default_value"_a = slider_start(parser["windows"]["autocierre_tiempo"]),
        "size"_a = py::make_tuple(40, 20), "orientation"_a = "horizontal", "font"_a = py::make_tuple("Helvetica", 10));
    py::list slider_frame_rows;
    slider_frame_rows.append(py::make_tuple(slider));
    py::object left = sg.attr("Column")(py::make_tuple(py::make_tuple(
        sg.attr("Frame")(py::str(tr("AutoCierre")) + py::str(" (Minutos):"), slider_frame_rows, "font"_a = "Mambo 10"))));
    py::object right = sg.attr("Column")(py::make_tuple(
        py::make_tuple(sg.attr("Text")(tr("¿Usar APP Android?"), "font"_a = "Mambo 10")),
        py::make_tuple(sg.attr("Text")(tr("Remote Call "), "font"_a = "Mambo 10")),
        py::make_tuple(sg.attr("Button")(
            "", "image_data"_a = android ? embedded::TOGGLE_ON_PNG_B64 : embedded::TOGGLE_OFF_PNG_B64,
            "key"_a = "-ANDROID-", "button_color"_a = py::make_tuple(background, background), "border_width"_a = 0,
            "auto_size_button"_a = true))));

    py::list api_frame_rows;
    api_frame_rows.append(py::make_tuple(sg.attr("Text")(verbatim("api_key API Holded:       ")),
                                         sg.attr("Input")("key"_a = "api_key", "default_text"_a = parser["api"]["api_key"])));

    py::list layout;
    layout.append(py::make_tuple(
        sg.attr("Text")(tr(">> CAMBIAR IDIOMA / CHANGE LANGUAGE <<"), "font"_a = "Mambo 10", "justification"_a = "center")));
    layout.append(flags);
    layout.append(py::make_tuple(sg.attr("HorizontalSeparator")()));
    layout.append(py::make_tuple(sg.attr("Menu")(menu_def, "tearoff"_a = true, "key"_a = "-MENUBAR-")));
    layout.append(py::make_tuple(
        sg.attr("Text")(tr("APi/APP Procesos: "), "font"_a = "Mambo 10"),
        sg.attr("Button")(tr("Obtener APi Holded"), "key"_a = "-proceso-", "font"_a = "Mambo 10", "expand_x"_a = true),
        sg.attr("Button")(tr("App enlace Window "), "key"_a = "-win-", "font"_a = "Mambo 10", "expand_x"_a = true),
        sg.attr("Button")(tr("App enlace Android"), "key"_a = "-remote-", "font"_a = "Mambo 10", "expand_x"_a = true)));
    layout.append(py::make_tuple(sg.attr("HorizontalSeparator")()));
    layout.append(py::make_tuple(sg.attr("Frame")(tr("Introduzca los datos del API"), api_frame_rows, "font"_a = "Mambo 10")));
    layout.append(py::make_tuple(sg.attr("HorizontalSeparator")()));
    layout.append(py::make_tuple(left, right));
    layout.append(py::make_tuple(sg.attr("HorizontalSeparator")()));
    // The way into the free-field mapping window, and the pairs it made.
    layout.append(py::make_tuple(
        sg.attr("Button")(tr("Asignar campos"), "key"_a = "-CAMPOS-", "font"_a = "Mambo 10"),
        sg.attr("Multiline")("", "key"_a = "-RES-", "size"_a = py::make_tuple(60, 3), "disabled"_a = true,
                             "expand_x"_a = true)));
    layout.append(py::make_tuple(sg.attr("HorizontalSeparator")()));
    layout.append(py::make_tuple(sg.attr("Button")(verbatim("Ok"), "font"_a = "Mambo 20", "expand_x"_a = true),
                                 sg.attr("Text")(std::string(20, ' ')),
                                 sg.attr("Button")(verbatim("Cerrar"), "key"_a = "Quit", "font"_a = "Mambo 10")));
    return layout;
}

bool filled(const py::object &self, const char *name) {
    return py::hasattr(self, name) && py::bool_(self.attr(name));
}

// The Android switch as stored: on exactly when the text reads "si", as the settings store reads it.
bool stored_android(const py::object &parser) {
    py::object text = parser.attr("get")("windows", "appandroid", "fallback"_a = "");
    return text.attr("lower")().equal(py::str("si"));
}

// Stores the five settings and writes config.ini; false (after telling the user) when the file
// cannot be written: the values stay in memory and the window stays open for another try.
// What the user did not change is written as it was stored: a slider left where it started (it
// cannot show a time above 10) and an untouched switch.
bool save(const py::object &sg, const py::object &self, const py::object &values, const py::str &cidioma, bool android) {
    py::object parser = self.attr("configparser");
    py::object stored_time = parser["windows"]["autocierre_tiempo"];
    py::object slider = py::int_(values["-tiempo-"]);
    py::object stored_switch = parser.attr("get")("windows", "appandroid", "fallback"_a = "");
    bool switch_moved = android != stored_android(parser);
    parser.attr("set")("api", "api_key", values["api_key"]);
    parser.attr("set")("windows", "idioma", cidioma);
    parser.attr("set")("windows", "autocierre_tiempo", slider.equal(slider_start(stored_time)) ? stored_time : py::str(slider));
    parser.attr("set")("windows", "appandroid", switch_moved ? py::str(android ? "Si" : "No") : stored_switch);
    parser.attr("set")("api", "camposlibres", self.attr("cvariables")["camposlibres"]);
    try {
        write_settings(parser, self.attr("ficheroini"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError) && !e.matches(PyExc_UnicodeError)) throw;
        sg.attr("popup_error")(tr("Error"), py::str(tr("No se ha podido guardar config.ini")) + py::str("\n") + py::str(e.value()),
                               "keep_on_top"_a = true);
        return false;
    }
    self.attr("actualizar_variables")();
    return true;
}

void inicioconfig(py::object self) {
    self.attr("presentacioncamposlibre") = py::str("");
    self.attr("listalibre") = py::list();
    self.attr("libreteamleader") = py::dict();
    py::object sg = toolkit();

    if (py::bool_(self.attr("lnuevo"))) first_run_guide(sg);

    py::str cidioma = self.attr("configparser")["windows"]["idioma"];
    bool android = stored_android(self.attr("configparser"));
    bool lfin = false;
    py::str url_setting_api(holded_api_settings_url());

    while (!lfin) {
        // Built anew each time: a language button closes the window and it comes back translated.
        py::str about_label = tr("About...");
        py::str about_event = menu_event(about_label);
        ScopedWindow window(sg.attr("Window")(tr("Configuración Zelvora Holded"), build_layout(sg, self, about_label, android),
                                              "finalize"_a = true, "keep_on_top"_a = true, "icon"_a = window_icon(),
                                              "auto_size_text"_a = true, "auto_size_buttons"_a = true));
        while (true) {
            auto [event, values] = read_window(*window);
            bool text_event = py::isinstance<py::str>(event);
            if (values.is_none() || event.is_none() || event.equal(py::str("Quit"))) {
                lfin = true;
                break;
            }
            if (event.equal(py::str("-ANDROID-"))) {
                android = !android;
                (*window)["-ANDROID-"].attr("update")(
                    "image_data"_a = android ? embedded::TOGGLE_ON_PNG_B64 : embedded::TOGGLE_OFF_PNG_B64);
            } else if (text_event && py::bool_(event.attr("endswith")("-I-"))) {
                cidioma = event[py::slice(0, 2, 1)];
                idioma(cidioma);
                break;
            } else if (event.equal(py::str("-proceso-"))) {
                py::module_::import("webbrowser").attr("open_new")(url_setting_api);
            } else if (event.equal(py::str("-win-"))) {
                sg.attr("popup_auto_close")(tr("Proceso Descarga"), tr("Ejecute callcenter.msi para unir Terminal Android con Windows"),
                                            "keep_on_top"_a = true, "icon"_a = sg.attr("SYSTEM_TRAY_MESSAGE_ICON_INFORMATION"),
                                            "auto_close_duration"_a = 2);
                open_page(py::str(maker::INSTALLER_URL), 2, true);
            } else if (event.equal(py::str("-remote-"))) {
                sg.attr("popup_auto_close")(tr("Enlace Google Play "), tr("Instalación necesarias en Terminal Android."),
                                            "keep_on_top"_a = true, "icon"_a = sg.attr("SYSTEM_TRAY_MESSAGE_ICON_INFORMATION"),
                                            "auto_close_duration"_a = 2);
                open_page(py::str(maker::TUTORIAL_VIDEO_URL), 2, true);
                open_page(py::str(maker::STORE_PAGE_URL), 2, true);
            } else if (event.equal(about_event)) {
                open_page(py::str(maker::SITE_URL), 2, true);
            } else if (event.equal(py::str("-CAMPOS-"))) {
                // Nothing fills the field lists yet; say so rather than fail.
                if (!filled(self, "listalibre") || !filled(self, "libreteamleader") || !filled(self, "jsoneinforma")) {
                    sg.attr("popup_error")(tr("Error"), tr("No hay campos libres de Holded ni datos disponibles que asignar."),
                                           "keep_on_top"_a = true);
                } else {
                    (*window)["-RES-"].attr("update")(self.attr("unircamposlibre")());
                }
            } else if (event.equal(py::str("Ok"))) {
                if (py::len(values["api_key"]) == 0) {
                    sg.attr("popup_error")(tr("Error"), py::str(tr("No se puede dejar vació Datos API")) + py::str("\n") + support_line(),
                                           "keep_on_top"_a = true);
                } else if (save(sg, self, values, cidioma, android)) {
                    lfin = true;
                    break;
                }
            }
        }
        window.close();
    }
}

}  // namespace

void register_config_window(SettingsClass &cls) {
    cls.def("inicioconfig", &inicioconfig, "Opens the configuration window; saves config.ini on \"Ok\".");
}
