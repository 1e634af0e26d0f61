// Present at ring time: the handset watch reads the handset every POLL_SECONDS on its own thread,
// whatever holds the GUI thread, and hands each new call to the presenter, which looks it up on
// its own thread and shows a known caller at once. Only the new-contact form of a caller without
// a contact waits for the GUI thread.
#include "phonewatch.hpp"

#include "contacts.hpp"
#include "failure.hpp"

#include <algorithm>

namespace {

// Numbers of this length or shorter are internal extensions: never looked up.
constexpr size_t EXTENSION_LENGTH = 6;
// Longest wait for a thread of the run when the run ends: a handset read that blocks must not
// keep the application from ending (the threads are daemons).
constexpr double JOIN_SECONDS = 1.0;
// The presenter's rhythm when no call comes: how often it looks after Holded and the index.
constexpr double PRESENTER_TICK_SECONDS = 1.0;

double module_seconds(const char *name) { return pymod("phonewatch").attr(name).cast<double>(); }

py::object new_thread(const py::object &target, const char *name) {
    return pymod("threading").attr("Thread")("target"_a = target, "name"_a = name, "daemon"_a = true);
}

Clock::time_point seconds_from_now(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// --- the handset ------------------------------------------------------------------------------

// The handset's number at this moment; the empty text when it reports none. Read through the
// property's getter method where the link has one (the .NET component): pythonnet lets other
// threads run during a method call, not during a property read, and a component that blocks
// must hold only this thread.
py::str active_number(const py::object &app) {
    py::object phone = app.attr("Phone");
    py::object getter = py::getattr(phone, "get_ActiveNumber", py::none());
    py::object number = getter.is_none() ? py::object(phone.attr("ActiveNumber")) : getter();
    if (number.is_none()) return py::str("");
    return py::str(number);
}

// What one read of the handset saw.
struct HandsetReader {
    py::object app;
    // The active number at the last read that worked ("" for no call): a number is taken when it
    // differs from this one, so the same call seen at several reads is taken once, and a caller
    // who hangs up and calls back is taken again. A failed read changes nothing.
    py::str previous{""};
    bool failing = false;

    // Reads the handset once; a new call goes to the presenter.
    void read(Runtime &runtime) {
        std::optional<py::str> number;
        try {
            number = active_number(app);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
        }
        tell_change(runtime, runtime.status.handset_read(number.has_value()));
        // Once per loss, not at every read: the status line and a notice tell the rest.
        if (!number && !failing) py::print("APP no activo", "flush"_a = true);
        failing = !number;
        if (number) take(runtime, *number);
    }

    void take(Runtime &runtime, const py::str &number) {
        if (number.equal(previous)) return;
        previous = number;
        if (py::len(number) == 0) return;
        py::str cleaned = clean_number(number);
        // An extension or a text without a digit (a withheld number) is no caller to look up.
        if (py::len(cleaned) <= EXTENSION_LENGTH || !has_digit(cleaned)) return;
        // The cleaned number: what came from the handset may hold control characters.
        py::print(cleaned, "flush"_a = true);
        py::str call = procetlf(cleaned);
        runtime.set_last_number(call.cast<std::string>());
        runtime.calls.attr("put")(call);
    }
};

void watch_handset(const std::weak_ptr<Runtime> &weak, HandsetReader reader, const py::object &stop) {
    while (!py::bool_(stop.attr("wait")(poll_seconds()))) {
        auto runtime = weak.lock();
        if (!runtime) return;
        reader.read(*runtime);
    }
}

// --- Holded -----------------------------------------------------------------------------------

// What a finished probe found; starts the next one when it is due.
void follow_holded(Runtime &runtime) {
    HoldedRetry &state = runtime.holded;
    if (!state.active) return;
    if (!state.probe.is_none()) {
        if (py::bool_(state.probe.attr("is_alive")())) return;
        state.probe = py::none();
        // probar has set these before its thread ended.
        if (py::bool_(state.client.attr("estado"))) {
            state.active = false;
            tell_change(runtime, runtime.status.holded(HoldedLink::connected));
            return;
        }
        if (!py::bool_(py::getattr(state.client, "sin_conexion", py::bool_(false)))) {
            state.active = false;
            tell_change(runtime, runtime.status.holded(HoldedLink::refused));
            return;
        }
        tell_change(runtime, runtime.status.holded(HoldedLink::offline), probe_failure(state.client));
        state.next_try = seconds_from_now(retry_seconds());
    }
    if (Clock::now() >= state.next_try) {
        state.probe = new_thread(state.client.attr("probar"), "holded-probe");
        state.probe.attr("start")();
    }
}

// Starts a background build of the client's contact index when one is due. Never waits for the
// network; not while Holded cannot be reached or refuses the key.
void refresh_index(const py::object &client) {
    if (client.is_none() || !py::bool_(py::getattr(client, "estado", py::bool_(false)))) return;
    py::object index = py::getattr(client, "indice", py::none());
    if (index.is_none()) return;
    try {
        index.attr("revisar")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print(py::str(tr("Indice de contactos sin actualizar: ")) + failure_text(e.value()), "flush"_a = true);
    }
}

// Whether a failed lookup says that Holded cannot be reached (rather than that it answered
// something unexpected).
bool unreachable(py::error_already_set &e) {
    py::object exceptions = pymod("requests").attr("exceptions");
    return e.matches(exceptions.attr("ConnectionError")) || e.matches(exceptions.attr("Timeout"));
}

// --- the presenter ----------------------------------------------------------------------------

struct Presenter {
    py::object self;

    py::object client() const { return self.attr("variable").attr("apiteam"); }

    void tell_caller(Runtime &runtime, const py::str &number, const py::str &why) {
        post_notice(runtime, tr("Verificando"), tr("Llamada de {}: {}").attr("format")(number, why));
    }

    void show_known(Runtime &runtime, const py::str &number, const py::list &contacts) {
        open_contact_pages(contacts);
        post_notice(runtime, tr("Verificando"), caller_notice(number, contacts));
    }

    // Contacts the index knows for the number, without a request; empty when it cannot say.
    py::list indexed(const py::str &number) {
        py::object index = py::getattr(client(), "indice", py::none());
        if (index.is_none() || !py::bool_(py::getattr(index, "listo", py::bool_(false)))) return py::list();
        return index.attr("buscar")(number);
    }

    void present(Runtime &runtime, const py::str &number) {
        py::list known = indexed(number);
        if (py::len(known) > 0) return show_known(runtime, number, known);
        // A refused key needs the user; an unreachable Holded may be back already, and a lookup
        // off the GUI thread costs only its own wait.
        if (runtime.status.view().holded == HoldedLink::refused)
            return tell_caller(runtime, number, tr("Holded ha rechazado la clave API"));
        py::list contacts;
        try {
            contacts = pymod("crmprocs").attr("buscar_contactos")(self, number);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return lookup_failed(runtime, number, e);
        }
        holded_answered(runtime);
        if (py::len(contacts) > 0) return show_known(runtime, number, contacts);
        tell_caller(runtime, number, tr("no está en Holded"));
        runtime.forms.push(number.cast<std::string>());
        wake_gui(runtime);
    }

    // Holded answered a lookup: it is back, if it was lost.
    void holded_answered(Runtime &runtime) {
        Change change = runtime.status.holded(HoldedLink::connected);
        if (change == Change::none) return;
        runtime.holded.active = false;
        tell_change(runtime, change);
    }

    // Holded did not answer: the status says so and the probe is retried until it does; any
    // other failure has the probe tried at once, which tells a refused key from a passing fault.
    void lookup_failed(Runtime &runtime, const py::str &number, py::error_already_set &e) {
        py::str why = failure_text(e.value());
        tell_caller(runtime, number, why);
        bool offline = unreachable(e);
        if (offline) tell_change(runtime, runtime.status.holded(HoldedLink::offline), why);
        if (!runtime.holded.active) holded_offline(runtime.holded, client(), !offline);
    }

    // "Ultimo Telefono": the last call taken in this turn, else what the handset shows now.
    void again(Runtime &runtime) {
        std::string last = runtime.last_number();
        py::str number(last);
        py::object app = self.attr("app");
        if (last.empty() && !app.is_none()) {
            try {
                number = procetlf(clean_number(active_number(app)));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
            }
        }
        if (has_digit(number)) return present(runtime, number);
        post_notice(runtime, tr("Ultimo Telefono"), tr("No hay ningún número para volver a buscar"));
    }

    // One call, or the work of a quiet moment.
    void serve(Runtime &runtime, const py::object &item) {
        try {
            if (py::isinstance<py::str>(item)) {
                py::str number(item);
                if (py::len(number) == 0)
                    again(runtime);
                else
                    present(runtime, number);
            }
            follow_holded(runtime);
            refresh_index(client());
        } catch (py::error_already_set &e) {
            // A fault of one call must not end the presentation of the next ones.
            if (!e.matches(PyExc_Exception)) throw;
            py::print(py::str("presenter: ") + failure_text(e.value()), "flush"_a = true);
        }
    }
};

void run_presenter(const std::weak_ptr<Runtime> &weak, Presenter presenter, const py::object &calls,
                   const py::object &stop) {
    py::object empty = pymod("queue").attr("Empty");
    while (!py::bool_(stop.attr("is_set")())) {
        py::object item = py::none();
        try {
            item = calls.attr("get")("timeout"_a = PRESENTER_TICK_SECONDS);
        } catch (py::error_already_set &e) {
            if (!e.matches(empty)) throw;
        }
        if (py::bool_(stop.attr("is_set")())) return;
        auto runtime = weak.lock();
        if (!runtime) return;
        presenter.serve(*runtime, item);
    }
}

}  // namespace

py::str probe_failure(const py::object &client) {
    for (const char *name : {"motivo", "lasterror"}) {
        py::object detail = py::getattr(client, name, py::none());
        if (py::isinstance<py::str>(detail) && py::len(detail) > 0) return detail;
    }
    return tr("Revise la clave API y la conexión a Internet");
}

double poll_seconds() { return module_seconds("POLL_SECONDS"); }
double retry_seconds() { return module_seconds("RETRY_SECONDS"); }

Runtime &runtime_of(const py::object &self) { return *self.cast<phonewatch_app &>().runtime; }

std::string Runtime::last_number() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return last_number_;
}

void Runtime::set_last_number(const std::string &number) {
    std::lock_guard<std::mutex> lock(mutex_);
    last_number_ = number;
}

void FormQueue::push(const std::string &number) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (std::find(numbers_.begin(), numbers_.end(), number) != numbers_.end()) return;
    numbers_.push_back(number);
    if (numbers_.size() > FORMS_WAITING) numbers_.pop_front();
}

std::optional<std::string> FormQueue::pop() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (numbers_.empty()) return std::nullopt;
    std::string number = numbers_.front();
    numbers_.pop_front();
    return number;
}

std::size_t FormQueue::size() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return numbers_.size();
}

void post_notice(Runtime &runtime, const py::str &title, const py::str &message, const char *icon) {
    py::object notify = runtime.system_notify;
    if (!notify.is_none()) {
        try {
            notify(message, title);
            return;
        } catch (py::error_already_set &e) {
            // The system refused it: the toolkit's notice says it instead.
            if (!e.matches(PyExc_Exception)) throw;
        }
    }
    runtime.notices.attr("put")(py::make_tuple(title, message, icon));
    wake_gui(runtime);
}

void holded_offline(HoldedRetry &state, const py::object &client, bool now) {
    state.active = true;
    state.client = client;
    state.next_try = now ? Clock::now() : seconds_from_now(retry_seconds());
}

Presence::Presence(const py::object &self) {
    std::shared_ptr<Runtime> runtime = self.cast<phonewatch_app &>().runtime;
    std::weak_ptr<Runtime> weak = runtime;
    stop_ = pymod("threading").attr("Event")();
    calls_ = runtime->calls;
    py::object stop = stop_, calls = calls_;
    Presenter presenter{self};
    presenter_ =
        new_thread(py::cpp_function([weak, presenter, calls, stop] { run_presenter(weak, presenter, calls, stop); }),
                   "call-presenter");
    presenter_.attr("start")();
    py::object app = self.attr("app");
    if (app.is_none()) return;
    HandsetReader reader{app};
    watch_ = new_thread(py::cpp_function([weak, reader, stop] { watch_handset(weak, reader, stop); }), "handset-watch");
    watch_.attr("start")();
}

void Presence::stop() noexcept {
    try {
        if (stop_.is_none()) return;
        stop_.attr("set")();
        calls_.attr("put")(py::none());  // wakes the presenter
        for (py::object *thread : {&watch_, &presenter_}) {
            if (thread->is_none()) continue;
            thread->attr("join")("timeout"_a = JOIN_SECONDS);
            *thread = py::none();
        }
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("stopping the handset watch");
    }
}

Presence::~Presence() { stop(); }
