// The application object: start-up, the tray turns with the polling of the handset, the tray
// menu and the manual search window.
#include "phonewatch.hpp"

#include "embedded_images.hpp"
#include "failure.hpp"
#include "fonts.hpp"
#include "released.hpp"
#include "text.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

namespace {

// The search window takes a number only from this many characters (blanks and + count).
constexpr size_t SEARCH_MIN_LENGTH = 9;
// The start-up number keeps the last nine digits of the arguments.
constexpr size_t STARTUP_DIGITS = 9;

// The application icon as image data: the toolkit ignores base64 given as str.
py::bytes app_icon() { return py::bytes(embedded::APP_ICON_PNG_B64); }

std::string text_of(const py::handle &value) {
    if (value.is_none() || !py::isinstance<py::str>(value)) return std::string();
    return value.cast<std::string>();
}

using text::ends_with;
using text::starts_with;

// Enter as each platform reports it: "\r" on Windows, "Return:36" (or the keypad's
// "KP_Enter:104") on X11, where Tk gives no character for a key release.
bool is_enter(const std::string &event) {
    return event == "\r" || starts_with(event, "Return:") || starts_with(event, "KP_Enter:");
}

void say(const char *line) { py::print(line, "flush"_a = true); }

void show_failure(const py::object &error) {
    show_popup("popup_error", tr("Error"), failure_text(error), "keep_on_top"_a = true);
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

Runtime &runtime_of(const py::object &self) { return *self.cast<phonewatch_app &>().runtime; }

// A lookup, a window or a notice: run guarded while a background thread keeps reading the
// handset, whose calls the tray loop looks up once it runs again.
template <typename Action>
bool watched(const py::object &self, Action &&action) {
    std::optional<HandsetWatch> watch;
    py::object app = self.attr("app");
    if (!app.is_none()) watch.emplace(self.cast<phonewatch_app &>().runtime, app);
    return guarded(std::forward<Action>(action));
}

py::object buscateam() { return pymod("crmprocs").attr("buscateam"); }

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

// "Ultimo Telefono": the last number taken in this turn, else whatever the handset shows now.
// Without either there is nothing to look up; a short notice says so.
void take_last_number(const py::object &self, const py::str &ntelold, py::str &ntelf) {
    py::object app = self.attr("app");
    py::str number = ntelold;
    if (py::len(number) == 0 && !app.is_none()) {
        try {
            py::object active = app.attr("Phone").attr("ActiveNumber");
            number = active.is_none() ? py::str("") : clean_number(py::str(active));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            number = py::str("");
        }
    }
    if (has_digit(number)) {
        ntelf = number;
        return;
    }
    watched(self, [&] {
        show_popup("popup_auto_close", tr("No hay ningún número para volver a buscar"), "auto_close_duration"_a = 2,
                   "keep_on_top"_a = true, "icon"_a = window_icon());
        release_last_window();
    });
}

// The country calling code of the office (setting pais), whose numbers the lookup knows in
// their national form; Spain's when the setting names no country.
std::string home_calling_code(const py::object &settings) {
    py::object phonenumbers = pymod("phonenumbers");
    py::object pais = settings.attr("get")("pais", "ES");
    py::object region = py::isinstance<py::str>(pais) ? py::str(pais).attr("strip")().attr("upper")() : py::str("ES");
    long code = phonenumbers.attr("country_code_for_region")(region).cast<long>();
    if (code == 0) code = phonenumbers.attr("country_code_for_region")("ES").cast<long>();
    return std::to_string(code);
}

// The whole-word digit runs of the arguments written together (by Python's \b, for which
// letters of any script are word characters), each with whether a "+" stands right before it.
std::vector<std::pair<bool, std::string>> argument_digit_runs(const py::list &argv) {
    std::string joined;
    for (size_t i = 1; i < py::len(argv); ++i) joined += clean_number(argv[i]).cast<std::string>();
    std::vector<std::pair<bool, std::string>> runs;
    for (py::handle found : pymod("re").attr("findall")(R"((\+?)\b(\d+)\b)", py::str(joined))) {
        py::tuple groups = py::reinterpret_borrow<py::tuple>(found);
        runs.emplace_back(py::len(groups[0]) > 0, groups[1].cast<std::string>());
    }
    return runs;
}

// The number given on the command line: a foreign number written with "+" or "00" is kept whole
// ("+" and all its digits); otherwise, and for the office's own country code, the last nine
// digits of the whole-word digit runs of all arguments written together.
py::str startup_number(const py::list &argv, const py::object &settings) {
    auto runs = argument_digit_runs(argv);
    if (runs.empty()) return py::str("");
    std::string digits;
    for (const auto &run : runs) digits += run.second;
    bool zeros = starts_with(digits, "00");
    if (zeros) digits.erase(0, 2);
    if ((runs.front().first || zeros) && !digits.empty() && !starts_with(digits, home_calling_code(settings)))
        return py::str("+" + digits);

    // Runs are prepended from the last one until exactly nine digits are reached; whatever
    // that gives, its last nine digits are the number.
    std::string ctele;
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        ctele = run->second + ctele;
        if (ctele.size() == STARTUP_DIGITS) break;
    }
    return py::str(ctele.size() > STARTUP_DIGITS ? ctele.substr(ctele.size() - STARTUP_DIGITS) : ctele);
}

// Loads the handset component from the dll folder and connects to it; None when it cannot.
void connect_handset(py::object self) {
    try {
        pymod("sys").attr("path").attr("append")(pymod("conf").attr("foldimg")("dll"));
        pymod("clr").attr("AddReference")("RemotePhoneService");
        py::object service = pymod("JustRemotePhone.RemotePhoneService");
        self.attr("app") = service.attr("Application")("Zelvora_IA_Holded");
        self.attr("app").attr("BeginConnect")(true);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        say("sin dll");
    }
}

// Whether the client's failed probe may pass by itself (no network, a time-out, the service
// down) rather than need a better key.
bool passing_failure(const py::object &client) {
    return py::bool_(py::getattr(client, "sin_conexion", py::bool_(false)));
}

// Why the client's probe failed, in the user's words when the client has them (which kind of
// key was refused and where Holded makes one), else as the client recorded it.
py::str probe_failure(const py::object &client) {
    for (const char *name : {"motivo", "lasterror"}) {
        py::object detail = py::getattr(client, name, py::none());
        if (py::isinstance<py::str>(detail) && py::len(detail) > 0) return detail;
    }
    return tr("Revise la clave API y la conexión a Internet");
}

// Starts a background build of the client's contact index when one is due (the first one once
// Holded has answered, then whenever it is older than its hours). Never waits for the network.
void refresh_index(const py::object &client) {
    // Not while Holded cannot be reached or refuses the key: the probe's retry says when it answers.
    if (client.is_none() || !py::bool_(py::getattr(client, "estado", py::bool_(false)))) return;
    py::object index = py::getattr(client, "indice", py::none());
    if (!index.is_none()) guarded([&] { index.attr("revisar")(); });
}

// After the configuration window: a key saved there is the one the client speaks with from now
// on, and the contact index is read again for it.
void follow_key(const py::object &variable) {
    py::object client = variable.attr("apiteam");
    py::object key = variable.attr("cvariables").attr("get")("api_key");
    if (client.is_none() || !py::isinstance<py::str>(key) || py::len(key) == 0 || !py::hasattr(client, "cambiar_clave"))
        return;
    guarded([&] {
        if (py::bool_(client.attr("cambiar_clave")(key))) refresh_index(client);
    });
}

void construct(py::object self) {
    py::object variable = pymod("conf").attr("conf")();
    self.attr("variable") = variable;
    variable.attr("apiteam") = pymod("crmapi").attr("crmapi")();
    // A network that is not up yet is no reason to ask for the key: the tray starts and keeps
    // trying Holded in the background.
    if (!py::bool_(variable.attr("apiteam").attr("estado")) && !passing_failure(variable.attr("apiteam"))) {
        show_popup("popup_error", tr("Error API"), probe_failure(variable.attr("apiteam")), "keep_on_top"_a = true,
                   "icon"_a = app_icon());
        variable.attr("apiteam") = py::none();
        variable.attr("inicioconfig")();
        variable.attr("apiteam") = pymod("crmapi").attr("crmapi")();
        if (!py::bool_(variable.attr("apiteam").attr("estado")) && !passing_failure(variable.attr("apiteam"))) {
            show_popup("popup_error", tr("Error API"), tr("Imposible seguir sin la informaion de API correcta"));
            // A tray whose every lookup fails helps nobody: the run ends here.
            self.attr("app") = py::none();
            return;
        }
    }
    py::object client = variable.attr("apiteam");
    if (!py::bool_(client.attr("estado"))) {
        py::print(py::str("Holded no responde: ") + py::str(py::getattr(client, "lasterror", py::str(""))),
                  "flush"_a = true);
        holded_offline(runtime_of(self).holded, client);
    }

    self.attr("app") = py::none();
    if (py::bool_(variable.attr("cvariables")["appandroid"])) connect_handset(self);

    toolkit().attr("theme")(variable.attr("cvariables")["tema"]);

    if (py::bool_(client.attr("estado"))) refresh_index(client);

    py::list argv = pymod("sys").attr("argv");
    if (py::len(argv) >= 2) {
        watched(self, [&] {
            py::str number = startup_number(argv, variable.attr("cvariables"));
            // Nothing to look up: no digits in the arguments.
            if (has_digit(number)) buscateam()(self, procetlf(number));
        });
    }
    // What start-up made lives as long as the run: the collector need not walk it again, which
    // keeps its pauses short while the contact index is read in the background.
    pymod("gc").attr("freeze")();

    while (!py::bool_(self.attr("home")())) {}
}

// The tray's own window goes with it.
void close_tray(const py::object &tray) {
    tray.attr("close")();
    release_window(py::getattr(tray, "window", py::none()));
}

// Tells the user once that Holded cannot be reached, then what a probe retried in the background
// found once it has ended.
void follow_holded(const py::object &self, const py::object &tray) {
    HoldedState &holded = runtime_of(self).holded;
    if (holded.offline && !holded.told) {
        holded.told = true;
        watched(self, [&] {
            // The cause first (a certificate the PC cannot check needs the user, not a retry).
            show_notice(tray, tr("Sin conexión con Holded"),
                        py::str(probe_failure(holded.client) + py::str("\n") +
                                tr("Holded no responde. Se volverá a intentar cada minuto; las búsquedas pueden "
                                   "fallar mientras tanto.")),
                        "SYSTEM_TRAY_MESSAGE_ICON_WARNING");
        });
    }
    std::string result = holded_follow(holded);
    if (result == "back") {
        refresh_index(holded.client);
        watched(self, [&] {
            show_notice(tray, tr("Conexión con Holded"), tr("Holded vuelve a responder."),
                        "SYSTEM_TRAY_MESSAGE_ICON_INFORMATION");
        });
    } else if (result == "refused") {
        watched(self, [&] {
            show_popup("popup_error", tr("Error API"), probe_failure(holded.client), "keep_on_top"_a = true,
                       "icon"_a = app_icon());
        });
    }
}

// Looks up, in the order they came, the calls taken by the polls (the tray's own and those made
// while it was busy), then the number asked for with "Ultimo Telefono". Calls that ring during
// one of these lookups join the queue and are looked up in turn.
void look_up_pending(const py::object &self, const py::object &tray, py::str &ntelold, py::str &ntelf) {
    py::list pending = runtime_of(self).handset.pending;
    while (true) {
        py::str number;
        if (py::len(pending) > 0) {
            number = pending.attr("pop")(0);
            ntelold = number;
        } else if (py::len(ntelf) > 0) {
            // Cleared first: a lookup that fails is reported once, not retried at every poll.
            number = ntelf;
            ntelf = py::str("");
        } else {
            return;
        }
        watched(self, [&] { buscateam()(self, procetlf(number), tray); });
    }
}

py::bool_ home(py::object self) {
    py::object sg = toolkit();
    Runtime &runtime = runtime_of(self);
    py::object tray = sg.attr("SystemTray")("menu"_a = tray_menu(), "data_base64"_a = app_icon());
    py::str ntelold(""), ntelf("");
    py::object variable = self.attr("variable");
    follow_holded(self, tray);
    while (true) {
        py::object app = self.attr("app");
        // The handset is read every POLL_SECONDS, also when an action came in between.
        double wait = app.is_none() ? poll_seconds() : seconds_until_poll(runtime.handset);
        int timeout = std::max(1, static_cast<int>(wait * 1000));
        std::string event = text_of(tray.attr("read")("timeout"_a = timeout));
        app = self.attr("app");

        if (event == "__TIMEOUT__") {
            if (!app.is_none()) poll_handset(runtime.handset, app);
            refresh_index(variable.attr("apiteam"));
        }
        if (ends_with(event, "::Aspecto")) watched(self, [&] { variable.attr("tema")(); });
        if (ends_with(event, "::Ultimo")) take_last_number(self, ntelold, ntelf);
        if (ends_with(event, "::Buscar") || event == "__ACTIVATED__") watched(self, [&] { self.attr("buscar")(); });
        if (ends_with(event, "::Configurar")) {
            watched(self, [&] { variable.attr("inicioconfig")(); });
            follow_key(variable);
            // The next turn builds the tray in the language just chosen; this one goes away.
            close_tray(tray);
            return py::bool_(false);
        }
        if (ends_with(event, "::Acerca de")) watched(self, [&] { pymod("conf").attr("Acercade")(); });
        if (ends_with(event, "::Apagar")) {
            guarded([&] {
                show_notice(tray, tr("Saliendo"), tr("!!Tenga un buen dia!!"), "SYSTEM_TRAY_MESSAGE_ICON_INFORMATION");
            });
            close_tray(tray);
            return py::bool_(true);
        }
        look_up_pending(self, tray, ntelold, ntelf);
        follow_holded(self, tray);
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
    py::list layout;
    layout.append(make_list(sg.attr("Text")(tr("Telefono:"), "font"_a = fonts::HEADING)));
    layout.append(make_list(sg.attr("Input")("key"_a = "-tlf-", "size"_a = py::make_tuple(15, 0),
                                             "font"_a = fonts::FIELD, "enable_events"_a = true, "focus"_a = true)));
    layout.append(make_list(sg.attr("Button")(tr("Buscar"), "p"_a = py::make_tuple(0, 5), "font"_a = fonts::HEADING,
                                              "key"_a = "buscar", "expand_x"_a = 10)));
    // Closed on every way out, a failed lookup included (the tray reports the failure).
    ScopedWindow window(sg.attr("Window")("", layout, "return_keyboard_events"_a = true, "force_toplevel"_a = true,
                                          "icon"_a = window_icon(), "auto_close"_a = settings["autocierre"],
                                          "auto_close_duration"_a = settings["autocierre_tiempo"]));
    while (true) {
        py::tuple result = window->attr("read")();
        py::object event = result[0];
        py::object values = result[1];
        std::string name = text_of(event);
        // A pasted number may carry a service prefix, other digits or invisible blanks.
        if (name == "-tlf-") colour_field(*window, clean_number(values[py::str("-tlf-")]));
        if (event.is_none()) break;
        if (name == "buscar" || is_enter(name)) {
            py::str text = clean_number(values[py::str("-tlf-")]);
            if (py::len(text) >= SEARCH_MIN_LENGTH && validatenumero(text) && has_digit(text)) {
                buscateam()(self, procetlf(text));
                break;
            }
        }
    }
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
