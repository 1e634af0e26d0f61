// The work that goes on behind the GUI thread: reading the handset while the tray loop is busy,
// and probing Holded again while it cannot be reached. Neither touches the toolkit; their
// results are picked up by the tray loop on the GUI thread.
#include "phonewatch.hpp"

#include <algorithm>

namespace {

// Numbers of this length or shorter are internal extensions: never looked up.
constexpr size_t EXTENSION_LENGTH = 6;

double module_seconds(const char *name) { return pymod("phonewatch").attr(name).cast<double>(); }

double since(Clock::time_point then) { return std::chrono::duration<double>(Clock::now() - then).count(); }

// The handset's number at this moment; the empty text when it reports none.
py::str active_number(const py::object &app) {
    py::object number = app.attr("Phone").attr("ActiveNumber");
    if (number.is_none()) return py::str("");
    return py::str(number);
}

py::object new_thread(const py::object &target, const char *name) {
    return pymod("threading").attr("Thread")("target"_a = target, "name"_a = name, "daemon"_a = true);
}

}  // namespace

double poll_seconds() { return module_seconds("POLL_SECONDS"); }
double retry_seconds() { return module_seconds("RETRY_SECONDS"); }

double seconds_until_poll(const HandsetState &state) {
    double every = poll_seconds();
    if (!state.last_read) return every;
    return std::clamp(every - since(*state.last_read), 0.0, every);
}

// A number is taken when it differs from what the handset showed at the previous read: the same
// call seen at several reads is taken once, and a caller who hangs up and calls back is taken
// again. A failed read changes nothing, so a short loss of the handset link does not make the
// call in progress look new. The number is read once, so what is compared is what is taken.
void poll_handset(HandsetState &state, const py::object &app) {
    state.last_read = Clock::now();
    try {
        py::str number = active_number(app);
        if (number.equal(state.previous)) return;
        state.previous = number;
        if (py::len(number) == 0) return;
        py::str cleaned = clean_number(number);
        // An extension or a text without a digit (a withheld number) is no caller to look up.
        if (py::len(cleaned) <= EXTENSION_LENGTH || !has_digit(cleaned)) return;
        py::print(number, "flush"_a = true);
        state.pending.append(cleaned);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print("APP no activo", "flush"_a = true);
    }
}

HandsetWatch::HandsetWatch(const std::shared_ptr<Runtime> &runtime, const py::object &app) {
    stop_ = pymod("threading").attr("Event")();
    std::weak_ptr<Runtime> weak = runtime;
    py::object stop = stop_;
    // Keeps to the rhythm of the tray's own polls: the first read is due POLL_SECONDS after the
    // last one the tray made.
    auto body = [weak, stop, app]() {
        while (true) {
            double wait;
            {
                auto alive = weak.lock();
                if (!alive) return;
                wait = seconds_until_poll(alive->handset);
            }
            if (py::bool_(stop.attr("wait")(wait))) return;
            auto alive = weak.lock();
            if (!alive) return;
            poll_handset(alive->handset, app);
        }
    };
    thread_ = new_thread(py::cpp_function(body), "handset-watch");
    thread_.attr("start")();
}

HandsetWatch::~HandsetWatch() {
    try {
        stop_.attr("set")();
        thread_.attr("join")();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("stopping the handset reader");
    }
}

void holded_offline(HoldedState &state, const py::object &client) {
    state.offline = true;
    state.client = client;
    state.next_try =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(retry_seconds()));
}

std::string holded_follow(HoldedState &state) {
    if (!state.offline) return "";
    if (!state.probe.is_none()) {
        if (py::bool_(state.probe.attr("is_alive")())) return "";
        state.probe = py::none();
        // probar has set these before its thread ended.
        if (py::bool_(state.client.attr("estado"))) {
            state.offline = false;
            return "back";
        }
        if (!py::bool_(py::getattr(state.client, "sin_conexion", py::bool_(false)))) {
            state.offline = false;
            return "refused";
        }
        state.next_try =
            Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(retry_seconds()));
    }
    if (Clock::now() >= state.next_try) {
        state.probe = new_thread(state.client.attr("probar"), "holded-probe");
        state.probe.attr("start")();
    }
    return "";
}
