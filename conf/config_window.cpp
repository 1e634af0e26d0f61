// The configuration window: API key, interface language, auto-close time, Android link, and the
// set-up pages the user needs (walked through on the first run).
#include "windows.hpp"

#include "fonts.hpp"
#include "gui.hpp"
#include "settings_file.hpp"

#include <iterator>
#include <string>

namespace {

// The languages of the flag buttons, in the order they are shown: Spain's four languages, a
// separator, the others. A flag's picture is img\<code>.png, its event <code>-I-.
constexpr const char *LANGUAGES[] = {"es", "ca", "gl", "eu", "en", "fr", "de", "nl", "it", "pt", "no"};
constexpr std::size_t SEPARATOR_AFTER = 4;
constexpr const char *FLAG_EVENT_SUFFIX = "-I-";

// The auto-close slider counts tens of seconds, as config.ini stores them; its top is the
// default (ten minutes). The caption beside it says the time in words.
constexpr int SLIDER_MIN = 0;
constexpr int SLIDER_MAX = DEFAULT_AUTOCLOSE_TIME;
constexpr int SECONDS_PER_STEP = 10;
constexpr const char *SLIDER_EVENT = "-tiempo-";
constexpr const char *CAPTION_KEY = "-tiempo-texto-";
// Seconds the set-up notices stay before they close by themselves.
constexpr int NOTICE_SECONDS = 2;

// What the window works on while it is open; stored only with "Ok".
struct Session {
    py::object sg;
    py::object self;
    py::object language;  // the interface language: the stored one, then the last flag chosen
    bool android;         // the Android switch as shown
};

// What the window does after an event.
enum class Next { Read, Rebuild, Close };

// The event the toolkit reports for a menu item: its label without the first "&" (the
// accelerator mark), unless that "&" is escaped with a backslash.
py::str menu_event(const std::string &label) {
    std::string event = label;
    std::size_t pos = event.find('&');
    if (pos != std::string::npos && (pos == 0 || event[pos - 1] != '\\')) event.erase(pos, 1);
    return py::str(event);
}

// The slider's starting point: the stored time, held to the slider's range (a hand-written time
// may lie outside it); a text that is not a whole number counts as the default.
py::int_ slider_start(const py::object &stored) {
    py::int_ value(DEFAULT_AUTOCLOSE_TIME);
    try {
        value = py::int_(stored);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
    }
    if (value < py::int_(SLIDER_MIN)) return py::int_(SLIDER_MIN);
    if (value > py::int_(SLIDER_MAX)) return py::int_(SLIDER_MAX);
    return value;
}

// What a slider position means: "nunca" for 0, else the time in minutes where it is a whole
// number of them ("1 min", "10 min"), in seconds otherwise ("10 s", "100 s").
py::str autoclose_caption(const py::handle &position) {
    long steps = py::int_(py::reinterpret_borrow<py::object>(position)).cast<long>();
    if (steps <= 0) return tr("nunca");
    long seconds = steps * SECONDS_PER_STEP;
    // The units' symbols are the same in every language.
    if (seconds % 60 == 0) return verbatim("{} min").format(seconds / 60);
    return verbatim("{} s").format(seconds);
}

// A notice that closes by itself: two lines, a title if given, the application's icon.
void notice(const py::str &first, const py::str &second, const py::object &title = py::none()) {
    py::dict options("keep_on_top"_a = true, "icon"_a = window_icon(), "auto_close_duration"_a = NOTICE_SECONDS);
    if (!title.is_none()) options["title"] = title;
    show_popup("popup_auto_close", first, second, **options);
}

void first_run_guide() {
    open_page(py::str(maker::QUICK_START_URL));
    notice(tr("Obtenga api_key API Holded"), tr("Obtenga Password_id API Holded"), tr("Proceso API"));
    open_page(py::str(holded_api_settings_url()), 1);
    notice(tr("Ejecute callcenter.msi para unir Terminal Android con Windows"),
           tr("Instale en su terminal Android remotePhone"), tr("Proceso remotePhone"));
    open_page(py::str(maker::STORE_PAGE_URL));
    open_page(py::str(maker::TUTORIAL_VIDEO_URL));
    open_page(py::str(maker::INSTALLER_URL));
}

// --- the layout, row by row ---------------------------------------------------------------------

py::list flag_row(const py::object &sg) {
    py::list flags;
    for (std::size_t i = 0; i < std::size(LANGUAGES); ++i) {
        std::string code = LANGUAGES[i];
        flags.append(sg.attr("Button")("", "image_filename"_a = foldimg(py::str("img\\" + code + ".png")),
                                       "key"_a = code + FLAG_EVENT_SUFFIX, "border_width"_a = 0,
                                       "size"_a = py::make_tuple(1, 1)));
        if (i + 1 == SEPARATOR_AFTER) flags.append(sg.attr("VerticalSeparator")());
    }
    return flags;
}

// The menu bar's definition: "Ayuda" with the about entry. Lists, not tuples: the toolkit edits
// it in place to strip the "&".
py::list help_menu(const py::str &about_label) {
    return make_list(make_list(tr("&Ayuda"), make_list("---", about_label)));
}

py::list process_row(const py::object &sg) {
    return make_list(
        sg.attr("Text")(tr("APi/APP Procesos: "), "font"_a = fonts::PLAIN),
        sg.attr("Button")(tr("Obtener APi Holded"), "key"_a = "-proceso-", "font"_a = fonts::PLAIN,
                          "expand_x"_a = true),
        sg.attr("Button")(tr("App enlace Window "), "key"_a = "-win-", "font"_a = fonts::PLAIN, "expand_x"_a = true),
        sg.attr("Button")(tr("App enlace Android"), "key"_a = "-remote-", "font"_a = fonts::PLAIN,
                          "expand_x"_a = true));
}

// The element beside the key that says why a key was refused; empty until then.
constexpr const char *KEY_NOTE = "-KEYNOTE-";
// The office's region: the country of the numbers written without their international prefix.
constexpr const char *REGION_KEY = "-PAIS-";

// The stored region as the lookups use it.
py::str stored_region(const py::object &parser) {
    return py::str(office_region(parser.attr("get")("windows", "pais", "fallback"_a = DEFAULT_REGION)));
}

// Every region the phone-number library knows, the office's first.
py::list region_choices(const py::str &current) {
    py::list regions = pymod("builtins").attr("sorted")(pymod("phonenumbers").attr("SUPPORTED_REGIONS"));
    regions.attr("remove")(current);
    regions.attr("insert")(0, current);
    return regions;
}

py::object api_frame(const py::object &sg, const py::object &parser) {
    py::list key_row = make_list(sg.attr("Text")(verbatim("api_key API Holded:       ")),
                                 sg.attr("Input")("key"_a = "api_key", "default_text"_a = parser["api"]["api_key"]));
    py::list note_row =
        make_list(sg.attr("Text")("", "key"_a = KEY_NOTE, "font"_a = fonts::PLAIN, "expand_x"_a = true));
    py::str region = stored_region(parser);
    py::list region_row = make_list(sg.attr("Text")(tr("País de los números sin prefijo:"), "font"_a = fonts::PLAIN),
                                    sg.attr("Combo")(region_choices(region), "default_value"_a = region,
                                                     "key"_a = REGION_KEY, "readonly"_a = true));
    return sg.attr("Frame")(tr("Introduzca los datos del API"), make_list(key_row, note_row, region_row),
                            "font"_a = fonts::PLAIN);
}

py::object autoclose_column(const py::object &sg, const py::object &parser) {
    py::int_ start = slider_start(parser["windows"]["autocierre_tiempo"]);
    // No numbers on the slider: they would be tens of seconds; the caption says the time.
    py::object slider =
        sg.attr("Slider")("range"_a = py::make_tuple(SLIDER_MIN, SLIDER_MAX), "resolution"_a = 1,
                          "disable_number_display"_a = true, "key"_a = SLIDER_EVENT, "enable_events"_a = true,
                          "default_value"_a = start, "size"_a = py::make_tuple(30, 20), "orientation"_a = "horizontal");
    py::object caption = sg.attr("Text")(autoclose_caption(start), "key"_a = CAPTION_KEY,
                                         "size"_a = py::make_tuple(8, 1), "font"_a = fonts::PLAIN);
    py::list rows =
        make_list(make_list(slider, caption), make_list(sg.attr("Text")(tr("0 = nunca"), "font"_a = fonts::PLAIN)));
    py::str title(std::string(tr("AutoCierre")) + ":");
    return sg.attr("Column")(make_list(make_list(sg.attr("Frame")(title, rows, "font"_a = fonts::PLAIN))));
}

py::object android_column(const py::object &sg, bool android) {
    py::object background = sg.attr("theme_background_color")();
    py::object toggle = sg.attr("Button")("", "image_data"_a = switch_picture(android), "key"_a = "-ANDROID-",
                                          "button_color"_a = py::make_tuple(background, background),
                                          "border_width"_a = 0, "auto_size_button"_a = true);
    return sg.attr("Column")(make_list(make_list(sg.attr("Text")(tr("¿Usar APP Android?"), "font"_a = fonts::PLAIN)),
                                       make_list(sg.attr("Text")(tr("Remote Call "), "font"_a = fonts::PLAIN)),
                                       make_list(toggle)));
}

py::list build_layout(const Session &session, const py::str &about_label) {
    const py::object &sg = session.sg;
    py::object parser = parser_of(session.self);
    // A separator is an element like any other: each row needs its own.
    auto separator = [&] { return make_list(sg.attr("HorizontalSeparator")()); };
    return make_list(make_list(sg.attr("Text")(tr(">> CAMBIAR IDIOMA / CHANGE LANGUAGE <<"), "font"_a = fonts::PLAIN,
                                               "justification"_a = "center")),
                     flag_row(sg), separator(),
                     make_list(sg.attr("Menu")(help_menu(about_label), "tearoff"_a = true, "key"_a = "-MENUBAR-")),
                     process_row(sg), separator(), make_list(api_frame(sg, parser)), separator(),
                     make_list(autoclose_column(sg, parser), android_column(sg, session.android)), separator(),
                     // The way into the free-field mapping window, and the pairs it made.
                     make_list(sg.attr("Button")(tr("Asignar campos"), "key"_a = "-CAMPOS-", "font"_a = fonts::PLAIN),
                               sg.attr("Multiline")("", "key"_a = "-RES-", "size"_a = py::make_tuple(60, 3),
                                                    "disabled"_a = true, "expand_x"_a = true)),
                     separator(),
                     make_list(sg.attr("Button")(verbatim("Ok"), "font"_a = fonts::LARGE, "expand_x"_a = true),
                               sg.attr("Text")(std::string(20, ' ')),
                               sg.attr("Button")(verbatim("Cerrar"), "key"_a = "Quit", "font"_a = fonts::PLAIN)));
}

// --- saving -------------------------------------------------------------------------------------

// Stores the six settings and writes config.ini; false (after telling the user) when the file
// cannot be written: the values stay in memory and the window stays open for another try.
// What the user did not change is written as it was stored: a slider left where it started (it
// cannot show a time above its range), an untouched switch and the region as it was written.
bool save(const Session &s, const py::object &values, const py::object &key) {
    py::object parser = parser_of(s.self);
    py::object stored_time = parser["windows"]["autocierre_tiempo"];
    py::object slider = py::int_(values[SLIDER_EVENT]);
    py::object stored_switch = parser.attr("get")("windows", "appandroid", "fallback"_a = "");
    bool switch_moved = s.android != reads_yes(stored_switch);
    py::object region = values.attr("get")(REGION_KEY, py::none());
    py::object stored_pais = parser.attr("get")("windows", "pais", "fallback"_a = DEFAULT_REGION);
    bool region_chosen = !region.is_none() && !region.equal(stored_region(parser));
    bool saved = save_settings(
        s.self,
        {{"api", "api_key", key},
         {"windows", "idioma", s.language},
         {"windows", "autocierre_tiempo", slider.equal(slider_start(stored_time)) ? stored_time : py::str(slider)},
         {"windows", "appandroid", switch_moved ? py::str(s.android ? "Si" : "No") : stored_switch},
         {"windows", "pais", region_chosen ? region : stored_pais},
         {"api", "camposlibres", values_of(s.self)["camposlibres"]}});
    if (saved) s.self.attr("actualizar_variables")();
    return saved;
}

// --- what each event does -------------------------------------------------------------------

using Handler = Next (*)(Session &, const ScopedWindow &, const py::object &values);

Next toggle_android(Session &s, const ScopedWindow &window, const py::object &) {
    s.android = !s.android;
    (*window)["-ANDROID-"].attr("update")("image_data"_a = switch_picture(s.android));
    return Next::Read;
}

Next show_autoclose_time(Session &, const ScopedWindow &window, const py::object &values) {
    (*window)[CAPTION_KEY].attr("update")(autoclose_caption(values[SLIDER_EVENT]));
    return Next::Read;
}

Next open_api_settings(Session &, const ScopedWindow &, const py::object &) {
    // In a new browser window, as the first-run guide opens it.
    open_page(py::str(holded_api_settings_url()), 1);
    return Next::Read;
}

Next show_windows_link(Session &, const ScopedWindow &, const py::object &) {
    notice(tr("Proceso Descarga"), tr("Ejecute callcenter.msi para unir Terminal Android con Windows"));
    open_page(py::str(maker::INSTALLER_URL));
    return Next::Read;
}

Next show_android_link(Session &, const ScopedWindow &, const py::object &) {
    notice(tr("Enlace Google Play "), tr("Instalación necesarias en Terminal Android."));
    open_page(py::str(maker::TUTORIAL_VIDEO_URL));
    open_page(py::str(maker::STORE_PAGE_URL));
    return Next::Read;
}

// Whether the settings object has the attribute and it holds something.
bool filled(const py::object &self, const char *name) { return py::bool_(py::getattr(self, name, py::none())); }

Next map_free_fields(Session &s, const ScopedWindow &window, const py::object &) {
    // Nothing fills the field lists yet; say so rather than fail.
    if (!filled(s.self, setting::LISTALIBRE) || !filled(s.self, setting::LIBRETEAMLEADER) ||
        !filled(s.self, setting::JSONEINFORMA)) {
        show_popup("popup_error", tr("Error"), tr("No hay campos libres de Holded ni datos disponibles que asignar."),
                   "keep_on_top"_a = true);
        return Next::Read;
    }
    (*window)["-RES-"].attr("update")(s.self.attr("unircamposlibre")());
    return Next::Read;
}

Next save_and_close(Session &s, const ScopedWindow &window, const py::object &values) {
    // Blanks and invisible characters pasted along with the key are no part of it.
    py::object key = clean_key(values["api_key"]);
    if (py::len(key) == 0) {
        show_popup("popup_error", tr("Error"),
                   py::str("{}\n{}").format(tr("No se puede dejar vació Datos API"), support_line()),
                   "keep_on_top"_a = true);
        return Next::Read;
    }
    // Said beside the field, never in a popup: the key is not shown anywhere else.
    if (!key_is_sendable(key)) {
        (*window)[KEY_NOTE].attr("update")(
            tr("La clave tiene caracteres que una clave de Holded no tiene: cópiela de nuevo desde Holded."));
        return Next::Read;
    }
    return save(s, values, key) ? Next::Close : Next::Read;
}

struct EventHandler {
    const char *event;
    Handler handle;
};
constexpr EventHandler HANDLERS[] = {
    {"-ANDROID-", toggle_android},       {"-proceso-", open_api_settings}, {"-win-", show_windows_link},
    {"-remote-", show_android_link},     {"-CAMPOS-", map_free_fields},    {"Ok", save_and_close},
    {SLIDER_EVENT, show_autoclose_time},
};

// The language of a flag button's event ("fr-I-"); nullptr for any other event.
const char *flag_language(const py::object &event) {
    if (!py::isinstance<py::str>(event)) return nullptr;
    std::string key = py::str(event);
    for (const char *code : LANGUAGES)
        if (key == code + std::string(FLAG_EVENT_SUFFIX)) return code;
    return nullptr;
}

Next on_event(Session &s, const ScopedWindow &window, const py::object &event, const py::object &values,
              const py::str &about_event) {
    if (values.is_none() || event.is_none() || event.equal(py::str("Quit"))) return Next::Close;
    for (const EventHandler &handler : HANDLERS)
        if (event.equal(py::str(handler.event))) return handler.handle(s, window, values);
    if (const char *code = flag_language(event)) {
        // The window comes back in that language; what was typed in it and not saved is dropped.
        s.language = py::str(code);
        idioma(s.language);
        return Next::Rebuild;
    }
    if (event.equal(about_event)) open_page(py::str(maker::SITE_URL));
    return Next::Read;
}

// One showing of the window, in the language of the moment, until an event closes it or asks
// for it anew.
Next show_window(Session &s) {
    py::str about_label = tr("About...");
    py::str about_event = menu_event(about_label);
    ScopedWindow window(s.sg.attr("Window")(tr("Configuración Zelvora Holded"), build_layout(s, about_label),
                                            "finalize"_a = true, "keep_on_top"_a = true, "icon"_a = window_icon(),
                                            "auto_size_text"_a = true, "auto_size_buttons"_a = true));
    // Escape closes it as "Cerrar" does: nothing is stored.
    window->attr("bind")("<Escape>", "Quit");
    Next next = Next::Read;
    while (next == Next::Read) {
        auto [event, values] = read_event(*window);
        next = on_event(s, window, event, values, about_event);
    }
    window.close();
    return next;
}

void inicioconfig(py::object self) {
    // The mapping window's lists start empty at every opening.
    py::setattr(self, setting::PRESENTACION, py::str(""));
    py::setattr(self, setting::LISTALIBRE, py::list());
    py::setattr(self, setting::LIBRETEAMLEADER, py::dict());
    py::object sg = toolkit();
    if (py::bool_(self.attr(setting::LNUEVO))) first_run_guide();

    py::object parser = parser_of(self);
    Session session{sg, self, parser["windows"]["idioma"],
                    reads_yes(parser.attr("get")("windows", "appandroid", "fallback"_a = ""))};
    while (show_window(session) == Next::Rebuild) {}
}

}  // namespace

void register_config_window(SettingsClass &cls) {
    cls.def("inicioconfig", &inicioconfig, "Opens the configuration window; saves config.ini on \"Ok\".");
}
