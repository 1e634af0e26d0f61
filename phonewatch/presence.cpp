// Present at ring time: the handset watch reads the handset every POLL_SECONDS on its own thread,
// whatever holds the GUI thread, and hands each new call to the presenter, which looks it up on
// its own thread and shows a known caller at once. Only the new-contact form of a caller without
// a contact waits for the GUI thread.
#include "phonewatch.hpp"

#include "contacts.hpp"

#include <algorithm>

namespace {

// Numbers of this length or shorter are internal extensions: never looked up.
constexpr size_t EXTENSION_LENGTH = 6;
// Longest wait for a thread of the run when the run ends: a handset read that blocks must not
// keep the application from ending (the threads are daemons).
constexpr double JOIN_SECONDS = 1.0;

double module_seconds(const char *name) { return pymod("phonewatch").attr(name).cast<double>(); }

// --- the handset ------------------------------------------------------------------------------

// What one read of the handset saw.
struct HandsetReader {
    py::object app;
    py::object log;  // the call log, where a call not looked up is noted too
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
        if (!has_digit(cleaned)) return not_looked_up(cleaned, "oculto");
        if (py::len(cleaned) <= EXTENSION_LENGTH) return not_looked_up(cleaned, "corto");
        // The cleaned number: what came from the handset may hold control characters.
        py::print(cleaned, "flush"_a = true);
        py::str call = procetlf(cleaned);
        runtime.set_last_number(call.cast<std::string>());
        runtime.calls.attr("put")(py::make_tuple(call, "telefono"));
    }

    void not_looked_up(const py::str &number, const char *why) {
        if (!log.is_none()) log.attr("anotar")(number, py::none(), "telefono", py::list(), why);
    }
};

void watch_handset(const std::weak_ptr<Runtime> &weak, HandsetReader reader, const py::object &stop) {
    while (!py::bool_(stop.attr("wait")(poll_seconds()))) {
        auto runtime = weak.lock();
        if (!runtime) return;
        reader.read(*runtime);
    }
}

}  // namespace

// Read through the property's getter method where the link has one (the .NET component):
// pythonnet lets other threads run during a method call, not during a property read, and a
// component that blocks must hold only the thread that reads.
py::str active_number(const py::object &app) {
    py::object phone = app.attr("Phone");
    py::object get_number = py::getattr(phone, "get_ActiveNumber", py::none());
    py::object number = get_number.is_none() ? py::object(phone.attr("ActiveNumber")) : get_number();
    if (number.is_none()) return py::str("");
    return py::str(number);
}

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

Presence::Presence(const py::object &self) {
    std::shared_ptr<Runtime> runtime = self.cast<phonewatch_app &>().runtime;
    std::weak_ptr<Runtime> weak = runtime;
    stop_ = pymod("threading").attr("Event")();
    calls_ = runtime->calls;
    py::object stop = stop_, calls = calls_;
    py::object app_object = self;
    presenter_ = start_daemon(
        py::cpp_function([weak, app_object, calls, stop] { run_presenter(weak, app_object, calls, stop); }),
        "call-presenter");
    py::object app = self.attr("app");
    if (app.is_none()) return;
    HandsetReader reader{app, py::getattr(self, "registro", py::none())};
    watch_ =
        start_daemon(py::cpp_function([weak, reader, stop] { watch_handset(weak, reader, stop); }), "handset-watch");
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
