// The application object: start-up, the tray turns and their menu, and the forms of callers
// without a contact (the manual search window is in search.cpp). Calls themselves are watched and presented by the
// threads of presence.cpp; the tray loop only does what needs the GUI thread.
#include "phonewatch.hpp"

#include "contacts.hpp"
#include "failure.hpp"
#include "fonts.hpp"
#include "text.hpp"
#include "gui.hpp"
#include "settings_file.hpp"

#include <optional>
#include <string>

namespace {

// Longest wait of a tray read: how often the status line is looked at when nothing happens (work
// for the GUI thread, a choice in the menu end the wait at once).
constexpr int TRAY_READ_MS = 1000;
// How long the farewell notice is seen before the run ends.
constexpr double FAREWELL_SECONDS = 1.5;
// The handset component's file in the dll folder.
const char *const HANDSET_COMPONENT = "RemotePhoneService.dll";

std::string text_of(const py::handle &value) {
    if (value.is_none() || !py::isinstance<py::str>(value)) return std::string();
    return value.cast<std::string>();
}

using text::ends_with;
using text::starts_with;

void show_failure(const py::object &error) {
    show_popup("popup_error", tr("Error"), failure_text(error), "keep_on_top"_a = true);
}

// Runs one lookup, window or menu action. A failure is shown in a popup and the tray goes on;
// only Exception is caught, so SystemExit and KeyboardInterrupt still end the program.
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

py::list tray_menu() {
    py::list items;
    items.append(tr("Buscar") + py::str("::Buscar"));
    items.append(tr("Ultimo Telefono") + py::str("::Ultimo"));
    items.append(tr("Llamadas recientes") + py::str("::Recientes"));
    items.append("---");
    items.append(tr("Configurar") + py::str("::Configurar"));
    items.append(tr("Aspecto") + py::str("::Aspecto"));
    items.append("---");
    items.append(tr("Acerca de") + py::str("::Acerca de"));
    items.append(tr("Apagar") + py::str("::Apagar"));
    return items;
}

// Loads the handset component from the dll folder and connects to it; "sin dll" when it cannot.
void connect_handset(py::object self, Runtime &runtime) {
    try {
        pymod("sys").attr("path").attr("append")(pymod("conf").attr("foldimg")("dll"));
        pymod("clr").attr("AddReference")("RemotePhoneService");
        py::object service = pymod("JustRemotePhone.RemotePhoneService");
        self.attr("app") = service.attr("Application")("Zelvora_IA_Holded");
        self.attr("app").attr("BeginConnect")(true);
        runtime.status.handset_link(HandsetLink::linked);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print("sin dll", "flush"_a = true);
        runtime.status.handset_link(self.attr("app").is_none() ? HandsetLink::missing : HandsetLink::linked);
    }
}

// The link switched off while the component is there: on a first start nothing else would tell
// the user that no call will ever be seen.
void handset_switched_off(const py::object &variable, Runtime &runtime) {
    runtime.status.handset_link(HandsetLink::off);
    py::str component = resource_file("dll", HANDSET_COMPONENT);
    bool present = py::bool_(pymod("os").attr("path").attr("isfile")(component));
    if (present && py::bool_(py::getattr(variable, "lnuevo", py::bool_(false))))
        post_notice(runtime, tr("Teléfono desactivado"),
                    tr("El enlace con el teléfono está desactivado: actívelo en Configurar para ver quién llama."),
                    "SYSTEM_TRAY_MESSAGE_ICON_WARNING");
}

// Whether the client's failed probe may pass by itself (no network, a time-out, the service
// down) rather than need a better key.
bool passing_failure(const py::object &client) {
    return py::bool_(py::getattr(client, "sin_conexion", py::bool_(false)));
}

// After the configuration window: a key saved there is the one the client speaks with from now
// on, and the contact index is read again for it (by the presenter, at its next turn).
void follow_key(const py::object &variable) {
    py::object client = variable.attr("apiteam");
    py::object key = variable.attr("cvariables").attr("get")("api_key");
    if (client.is_none() || !py::isinstance<py::str>(key) || py::len(key) == 0 || !py::hasattr(client, "cambiar_clave"))
        return;
    guarded([&] { client.attr("cambiar_clave")(key); });
}

// A region chosen in the settings: numbers without prefix mean other numbers now, so the index is
// read anew for it (in the background, by the presenter).
void follow_region(const py::object &variable) {
    py::object client = variable.attr("apiteam");
    py::object index = client.is_none() ? py::none() : py::getattr(client, "indice", py::none());
    if (index.is_none() || !py::hasattr(index, "pais")) return;
    std::string region = office_region(variable.attr("cvariables").attr("get")("pais", ""));
    if (index.attr("pais").cast<std::string>() == region) return;
    client.attr("indice") = pymod("crmapi").attr("indice")(client, "pais"_a = region, "horas"_a = index.attr("horas"));
}

// The client of a good key, or None when the key is refused twice (the run ends then).
py::object start_client(const py::object &variable) {
    variable.attr("apiteam") = pymod("crmapi").attr("crmapi")();
    // A network that is not up yet is no reason to ask for the key: the tray starts and keeps
    // trying Holded in the background.
    if (py::bool_(variable.attr("apiteam").attr("estado")) || passing_failure(variable.attr("apiteam")))
        return variable.attr("apiteam");
    show_popup("popup_error", tr("Error API"), probe_failure(variable.attr("apiteam")), "keep_on_top"_a = true,
               "icon"_a = app_icon());
    variable.attr("apiteam") = py::none();
    variable.attr("inicioconfig")();
    variable.attr("apiteam") = pymod("crmapi").attr("crmapi")();
    if (py::bool_(variable.attr("apiteam").attr("estado")) || passing_failure(variable.attr("apiteam")))
        return variable.attr("apiteam");
    show_popup("popup_error", tr("Error API"), tr("Imposible seguir sin la informaion de API correcta"));
    return py::none();
}

void start_runtime(Runtime &runtime) {
    py::object queue = pymod("queue");
    runtime.calls = queue.attr("SimpleQueue")();
    runtime.notices = queue.attr("SimpleQueue")();
    runtime.toasts = py::list();
}

void look_up_startup_number(const py::object &self) {
    py::list argv = pymod("sys").attr("argv");
    if (py::len(argv) < 2) return;
    guarded([&] {
        py::str number = startup_number(argv, self.attr("variable").attr("cvariables"));
        // Nothing to look up: no digits in the arguments.
        if (has_digit(number)) look_up(self, procetlf(number), "linea");
    });
}

// The call log goes with the run, however it ends: what waits is written.
class OpenCallLog {
public:
    OpenCallLog(const py::object &self, Runtime &runtime) : self_(self) {
        py::object settings = self.attr("variable").attr("cvariables");
        long days = py::int_(settings.attr("get")("dias_registro", 90)).cast<long>();
        py::str region(office_region(settings.attr("get")("pais", DEFAULT_REGION)));
        self.attr("registro") = open_call_log(days, region, runtime);
    }
    OpenCallLog(const OpenCallLog &) = delete;
    OpenCallLog &operator=(const OpenCallLog &) = delete;
    ~OpenCallLog() {
        try {
            close_call_log(self_.attr("registro"));
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("closing the call log");
        }
    }

private:
    py::object self_;
};

void construct(py::object self) {
    Runtime &runtime = runtime_of(self);
    start_runtime(runtime);
    self.attr("consultas") = runtime.calls;
    // Every window and popup of the run carries the application's icon, those that name none
    // (the toolkit's popups) included.
    toolkit().attr("set_options")("icon"_a = window_icon());
    py::object variable = pymod("conf").attr("conf")();
    self.attr("variable") = variable;
    self.attr("app") = py::none();
    OpenCallLog call_log(self, runtime);
    // A tray whose every lookup fails helps nobody: without a good key the run ends here.
    py::object client = start_client(variable);
    if (client.is_none()) return;
    if (!py::bool_(client.attr("estado"))) {
        py::print(py::str("Holded no responde: ") + py::str(py::getattr(client, "lasterror", py::str(""))),
                  "flush"_a = true);
        holded_offline(runtime.holded, client);
        tell_change(runtime, runtime.status.holded(HoldedLink::offline), probe_failure(client));
    }
    if (py::bool_(variable.attr("cvariables")["appandroid"]))
        connect_handset(self, runtime);
    else
        handset_switched_off(variable, runtime);

    toolkit().attr("theme")(variable.attr("cvariables")["tema"]);

    Presence presence(self);
    look_up_startup_number(self);
    // What start-up made lives as long as the run: the collector need not walk it again, which
    // keeps its pauses short while the contact index is read in the background.
    pymod("gc").attr("freeze")();

    while (!py::bool_(self.attr("home")())) {}
}

// --- a tray turn ------------------------------------------------------------------------------

// The form of the oldest caller without a contact, unless a contact has the number by now (one
// made in the form of an earlier ring, say): then its page.
void open_waiting_form(const py::object &self, Runtime &runtime) {
    std::optional<std::string> waiting = runtime.forms.pop();
    if (!waiting) return;
    py::str number(*waiting);
    py::object index = py::getattr(self.attr("variable").attr("apiteam"), "indice", py::none());
    if (!index.is_none() && py::bool_(py::getattr(index, "listo", py::bool_(false)))) {
        py::list known = index.attr("buscar")(number);
        if (py::len(known) > 0) return open_contact_pages(known);
    }
    guarded([&] { pymod("crmprocs").attr("alta")(self, number); });
}

// Runs the menu's choice; a value when the turn ends (true: the run ends).
std::optional<bool> act_on(const py::object &self, Runtime &runtime, const py::object &tray, const std::string &event) {
    py::object variable = self.attr("variable");
    if (ends_with(event, "::Aspecto")) guarded([&] { variable.attr("tema")(); });
    if (ends_with(event, "::Ultimo")) runtime.calls.attr("put")(py::make_tuple("", "ultimo"));
    if (ends_with(event, "::Recientes")) guarded([&] { self.attr("recientes")(); });
    if (ends_with(event, "::Buscar") || event == "__ACTIVATED__") guarded([&] { self.attr("buscar")(); });
    if (ends_with(event, "::Configurar")) {
        guarded([&] { variable.attr("inicioconfig")(); });
        follow_key(variable);
        follow_region(variable);
        // The next turn builds the tray in the language just chosen; this one goes away.
        close_tray(runtime, tray);
        return false;
    }
    if (ends_with(event, "::Acerca de")) guarded([&] { pymod("conf").attr("Acercade")(); });
    if (ends_with(event, "::Apagar")) {
        guarded([&] {
            show_notice(tray, tr("Saliendo"), tr("!!Tenga un buen dia!!"), "SYSTEM_TRAY_MESSAGE_ICON_INFORMATION");
        });
        close_tray(runtime, tray, FAREWELL_SECONDS);
        return true;
    }
    return std::nullopt;
}

// The tray of a turn goes when the turn ends, however it ends.
class TurnTray {
public:
    TurnTray(const std::shared_ptr<Runtime> &runtime, const py::object &client)
        : runtime_(runtime), tray_(make_tray(runtime, tray_menu(), status_line(*runtime, client))) {
        start_notice_pump(runtime);
    }
    TurnTray(const TurnTray &) = delete;
    TurnTray &operator=(const TurnTray &) = delete;
    ~TurnTray() {
        stop_notice_pump(*runtime_);
        if (closed_) return;
        try {
            close_tray(*runtime_, tray_);
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("closing the tray");
        }
    }
    const py::object &tray() const { return tray_; }
    void closed() { closed_ = true; }

private:
    std::shared_ptr<Runtime> runtime_;
    py::object tray_;
    bool closed_ = false;
};

py::bool_ home(py::object self) {
    std::shared_ptr<Runtime> shared = self.cast<phonewatch_app &>().runtime;
    Runtime &runtime = *shared;
    py::object variable = self.attr("variable");
    runtime.set_last_number("");
    TurnTray turn(shared, variable.attr("apiteam"));
    const py::object &tray = turn.tray();
    while (true) {
        show_status(tray, status_line(runtime, variable.attr("apiteam")), runtime.status.attention());
        std::string event = text_of(tray.attr("read")("timeout"_a = TRAY_READ_MS));
        show_waiting_notices(runtime, tray);
        std::optional<bool> ended = act_on(self, runtime, tray, event);
        if (ended) {
            turn.closed();
            return py::bool_(*ended);
        }
        if (runtime.status.take_key_refusal())
            show_popup("popup_error", tr("Error API"), probe_failure(variable.attr("apiteam")), "keep_on_top"_a = true,
                       "icon"_a = app_icon());
        else if (event == "__TIMEOUT__" || event.empty())
            open_waiting_form(self, runtime);
    }
}

// A notice from any thread that never waits: the creation of a contact, for instance.
void avisar(py::object self, py::str titulo, py::str mensaje) { post_notice(runtime_of(self), titulo, mensaje); }

}  // namespace

// Tk gives no character for a key release on X11, only the key's name and code.
bool is_enter(const std::string &event) {
    return event == "\r" || text::starts_with(event, "Return:") || text::starts_with(event, "KP_Enter:");
}

bool is_escape(const std::string &event) { return event == "\x1b" || text::starts_with(event, "Escape:"); }

void register_app(py::module_ &m) {
    auto cls = py::class_<phonewatch_app>(m, "phonewatch", py::dynamic_attr(),
                                          "The application: constructing it runs it until the user shuts it down.");
    def_init(cls, construct);
    cls.def("home", &home, "One tray turn: True after shutting down, False after the settings window.");
    cls.def("buscar", &search_window, "The manual search window; True once it has closed.");
    cls.def(
        "recientes",
        [](py::object self) {
            recent_calls(self);
            return py::bool_(true);
        },
        "The recent-calls window; True once it has closed.");
    cls.def("avisar", &avisar, "titulo"_a, "mensaje"_a,
            "Shows a notice without waiting for the user or the GUI thread (the system's notification where the "
            "tray has them); from any thread.");
}
