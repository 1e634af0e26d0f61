// The application object: start-up, the tray turns with the polling of the handset, the tray
// menu and the manual search window.
#include "phonewatch.hpp"

#include "embedded_images.hpp"
#include "failure.hpp"

#include <string>

namespace {

constexpr int POLL_MS = 2400;
// Numbers of this length or shorter are internal extensions: never looked up.
constexpr size_t EXTENSION_LENGTH = 6;
// The search window takes a number only from this many characters (blanks and + count).
constexpr size_t SEARCH_MIN_LENGTH = 9;
// The start-up number keeps the last nine digits of the arguments.
constexpr size_t STARTUP_DIGITS = 9;

py::module_ mod(const char *name) { return py::module_::import(name); }

// The application icon as image data: the toolkit ignores base64 given as str.
py::bytes app_icon() { return py::bytes(embedded::APP_ICON_PNG_B64); }

std::string text_of(const py::handle &value) {
    if (value.is_none() || !py::isinstance<py::str>(value)) return std::string();
    return value.cast<std::string>();
}

bool starts_with(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

bool ends_with(const std::string &text, const char *suffix) {
    std::string tail(suffix);
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Enter as each platform reports it: "\r" on Windows, "Return:36" (or the keypad's
// "KP_Enter:104") on X11, where Tk gives no character for a key release.
bool is_enter(const std::string &event) {
    return event == "\r" || starts_with(event, "Return:") || starts_with(event, "KP_Enter:");
}

void say(const char *line) { py::print(line, "flush"_a = true); }

void show_failure(const py::object &error) {
    toolkit().attr("popup_error")(tr("Error"), failure_text(error), "keep_on_top"_a = true);
}

// Runs one lookup or menu action. A failure is shown in a popup and the tray goes on; only
// Exception is caught, so SystemExit and KeyboardInterrupt still end the program.
template <typename Action>
bool guarded(Action &&action) {
    try {
        action();
        return true;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        show_failure(e.value());
    } catch (py::builtin_exception &e) {
        show_failure(py::str(e.what()));
    }
    return false;
}

py::object buscateam() { return mod("crmprocs").attr("buscateam"); }

// The handset's number at this moment; the empty text when it reports none.
py::str active_number(const py::object &app) {
    py::object number = app.attr("Phone").attr("ActiveNumber");
    if (number.is_none()) return py::str("");
    return py::str(number);
}

py::list tray_menu() {
    py::list items;
    items.append(tr("Buscar") + py::str("::Buscar"));
    items.append(tr("Ultimo Telefono") + py::str("::Ultimo"));
    items.append("---");
    items.append(tr("Configurar") + py::str("::Configurar"));
    items.append(tr("Aspecto") + py::str("::Aspecto"));
    items.append("---");
    items.append(tr("Acerca de") + py::str("::Acerca de"));
    items.append(tr("Apagar") + py::str("::Apagar"));
    py::list menu;
    menu.append("UNUSED");
    menu.append(items);
    return menu;
}

// One poll of the handset. A new number longer than an extension becomes the pending and the
// last number; the same number is not taken twice in a turn. Each mention of the active number
// is a fresh read, as the number may change while we look.
void poll_handset(const py::object &app, py::str &ntelold, py::str &ntelf) {
    try {
        if (py::len(active_number(app)) == 0) return;
        if (!ntelold.equal(active_number(app))) {
            if (py::len(active_number(app)) > EXTENSION_LENGTH) {
                py::print(active_number(app), "flush"_a = true);
                ntelf = active_number(app);
            }
            ntelold = ntelf;
        }
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        say("APP no activo");
    }
}

// "Ultimo Telefono": the last number taken in this turn, else whatever the handset shows now.
// Without either there is nothing to look up; a short notice says so.
void take_last_number(const py::object &app, const py::str &ntelold, py::str &ntelf) {
    py::str number = ntelold;
    if (py::len(number) == 0 && !app.is_none()) {
        try {
            number = active_number(app);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            number = py::str("");
        }
    }
    if (py::len(number) > 0) {
        ntelf = number;
        return;
    }
    toolkit().attr("popup_auto_close")(tr("No hay ningún número para volver a buscar"), "auto_close_duration"_a = 2,
                                       "keep_on_top"_a = true, "icon"_a = window_icon());
}

// The number given on the command line: the last nine digits of the whole-word digit runs of
// all arguments written together.
py::str startup_number(const py::list &argv) {
    py::list rest;
    for (size_t i = 1; i < py::len(argv); ++i) rest.append(argv[i]);
    py::str joined = py::str("").attr("join")(rest);
    py::list runs = mod("re").attr("findall")(R"(\b\d+\b)", joined);
    py::str ctele("");
    for (size_t i = py::len(runs); i-- > 0;) {
        ctele = py::str(py::str(runs[i]) + ctele);
        if (py::len(ctele) == STARTUP_DIGITS) break;
    }
    size_t length = py::len(ctele);
    size_t from = length > STARTUP_DIGITS ? length - STARTUP_DIGITS : 0;
    return py::str(ctele[py::slice(static_cast<py::ssize_t>(from), static_cast<py::ssize_t>(length), 1)]);
}

// Loads the handset component from the dll folder and connects to it; None when it cannot.
void connect_handset(py::object self) {
    try {
        mod("sys").attr("path").attr("append")(mod("conf").attr("foldimg")("dll"));
        mod("clr").attr("AddReference")("RemotePhoneService");
        py::object service = mod("JustRemotePhone.RemotePhoneService");
        self.attr("app") = service.attr("Application")("Zelvora_IA_Holded");
        self.attr("app").attr("BeginConnect")(true);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        say("sin dll");
    }
}

void construct(py::object self) {
    py::object sg = toolkit();
    py::object variable = mod("conf").attr("conf")();
    self.attr("variable") = variable;
    variable.attr("apiteam") = mod("crmapi").attr("crmapi")();
    if (!py::bool_(variable.attr("apiteam").attr("estado"))) {
        py::object detail = py::getattr(variable.attr("apiteam"), "lasterror", py::none());
        if (detail.is_none() || py::len(py::str(detail)) == 0) detail = tr("Revise la clave API y la conexión a Internet");
        sg.attr("popup_error")(tr("Error API"), py::str(detail), "keep_on_top"_a = true, "icon"_a = app_icon());
        variable.attr("apiteam") = py::none();
        variable.attr("inicioconfig")();
        variable.attr("apiteam") = mod("crmapi").attr("crmapi")();
        if (!py::bool_(variable.attr("apiteam").attr("estado"))) {
            toolkit().attr("popup_error")(tr("Error API"), tr("Imposible seguir sin la informaion de API correcta"));
            // A tray whose every lookup fails helps nobody: the run ends here.
            self.attr("app") = py::none();
            return;
        }
    }

    self.attr("app") = py::none();
    if (py::bool_(variable.attr("cvariables")["appandroid"])) connect_handset(self);

    toolkit().attr("theme")(variable.attr("cvariables")["tema"]);

    py::list argv = mod("sys").attr("argv");
    if (py::len(argv) >= 2) {
        py::str number = startup_number(argv);
        guarded([&] { buscateam()(self, procetlf(number)); });
    }

    while (!py::bool_(self.attr("home")())) {
    }
}

py::bool_ home(py::object self) {
    py::object sg = toolkit();
    py::object tray = sg.attr("SystemTray")("menu"_a = tray_menu(), "data_base64"_a = app_icon());
    py::str ntelold(""), ntelf("");
    py::object variable = self.attr("variable");
    while (true) {
        py::object read = tray.attr("read")("timeout"_a = POLL_MS);
        std::string event = text_of(read);
        py::object app = self.attr("app");

        if (event == "__TIMEOUT__" && !app.is_none()) poll_handset(app, ntelold, ntelf);
        if (ends_with(event, "::Aspecto")) guarded([&] { variable.attr("tema")(); });
        if (ends_with(event, "::Ultimo")) take_last_number(app, ntelold, ntelf);
        if (ends_with(event, "::Buscar") || event == "__ACTIVATED__") guarded([&] { self.attr("buscar")(); });
        if (ends_with(event, "::Configurar")) {
            guarded([&] { variable.attr("inicioconfig")(); });
            // The next turn builds the tray in the language just chosen; this one goes away.
            tray.attr("close")();
            return py::bool_(false);
        }
        if (ends_with(event, "::Acerca de")) guarded([&] { mod("conf").attr("Acercade")(); });
        if (ends_with(event, "::Apagar")) {
            guarded([&] {
                tray.attr("show_message")(tr("Saliendo"), tr("!!Tenga un buen dia!!"),
                                          "messageicon"_a = toolkit().attr("SYSTEM_TRAY_MESSAGE_ICON_INFORMATION"));
            });
            tray.attr("close")();
            return py::bool_(true);
        }
        if (py::len(ntelf) > 0) {
            // Cleared first: a lookup that fails is reported once, not retried at every poll.
            py::str number = ntelf;
            ntelf = py::str("");
            guarded([&] { buscateam()(self, procetlf(number), tray); });
        }
    }
}

// Colours of the search field while the user types.
void colour_field(const py::object &window, const py::object &text) {
    if (validatenumero(text))
        window[py::str("-tlf-")].attr("update")("background_color"_a = "Blue");
    else if (py::len(text) > 1)
        window[py::str("-tlf-")].attr("update")("background_color"_a = "orange");
}

py::bool_ buscar(py::object self) {
    py::object sg = toolkit();
    py::object settings = self.attr("variable").attr("cvariables");
    auto row = [](const py::object &element) {
        py::list one;
        one.append(element);
        return one;
    };
    py::list layout;
    layout.append(row(sg.attr("Text")(tr("Telefono:"), "font"_a = "Any 20")));
    layout.append(row(sg.attr("Input")("key"_a = "-tlf-", "size"_a = py::make_tuple(15, 0), "font"_a = "Any 14",
                                       "enable_events"_a = true, "focus"_a = true)));
    layout.append(row(sg.attr("Button")(tr("Buscar"), "p"_a = py::make_tuple(0, 5), "font"_a = "Any 20",
                                        "key"_a = "buscar", "expand_x"_a = 10)));
    py::object window = sg.attr("Window")("", layout, "return_keyboard_events"_a = true, "force_toplevel"_a = true,
                                          "icon"_a = window_icon(), "auto_close"_a = settings["autocierre"],
                                          "auto_close_duration"_a = settings["autocierre_tiempo"]);
    try {
        while (true) {
            py::tuple result = window.attr("read")();
            py::object event = result[0];
            py::object values = result[1];
            std::string name = text_of(event);
            if (name == "-tlf-") colour_field(window, values[py::str("-tlf-")]);
            if (event.is_none()) break;
            if (name == "buscar" || is_enter(name)) {
                py::object text = values[py::str("-tlf-")];
                if (py::len(text) >= SEARCH_MIN_LENGTH && validatenumero(text)) {
                    buscateam()(self, procetlf(text));
                    break;
                }
            }
        }
    } catch (py::error_already_set &) {
        // The window must not outlive a failed lookup; the tray reports the failure.
        window.attr("close")();
        throw;
    }
    window.attr("close")();
    return py::bool_(true);
}

}  // namespace

void register_app(py::module_ &m) {
    auto cls = py::class_<phonewatch_app>(m, "phonewatch", py::dynamic_attr(),
                                          "The application: constructing it runs it until the user shuts it down.");
    def_init(cls, construct);
    cls.def("home", &home, "One tray turn: True after shutting down, False after the settings window.");
    cls.def("buscar", &buscar, "The manual search window; True once it has closed.");
}
