// The directory's pages are fetched and read on a thread of their own: a slow directory must not
// leave the application's windows dead. The GUI thread meanwhile keeps every window painted and
// answering, behind a small modal notice that takes the user's input while the search goes on.
#include "dirscrape.hpp"
#include "released.hpp"

#include "failure.hpp"
#include "fonts.hpp"

#include <memory>

namespace {

// How often the notice's loop looks whether the fetch is over, in milliseconds: well under the
// tenth of a second within which a window should answer.
constexpr int POLL_MS = 40;

// What the worker leaves for the GUI thread: the value, or the exception raised.
struct Outcome {
    py::object value;
    py::object error;
};

// Runs `work` on a thread of its own; the thread, started.
py::object start_worker(const std::function<py::object()> &work, const std::shared_ptr<Outcome> &outcome) {
    py::cpp_function target([work, outcome]() {
        try {
            outcome->value = work();
        } catch (py::error_already_set &e) {
            outcome->error = e.value();
        } catch (const std::exception &e) {
            outcome->error = py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(e.what());
        }
    });
    py::object thread =
        pymod("threading").attr("Thread")("target"_a = target, "name"_a = "directorio", "daemon"_a = true);
    thread.attr("start")();
    return thread;
}

bool running(const py::object &thread) { return py::bool_(thread.attr("is_alive")()); }

// Waits for the worker. A fetch over within a moment shows nothing; a longer one shows the
// notice, whose reads keep the windows alive. False when the user closed the notice: the search
// is given up (its thread ends by itself, within the fetch's own deadline).
bool wait_for(const py::object &thread) {
    thread.attr("join")(pymod("dirscrape").attr("NOTICE_DELAY"));
    if (!running(thread)) return true;
    py::object sg = toolkit();
    py::list layout = make_list(make_list(sg.attr("Text")(tr("Buscando en el directorio…"), "font"_a = fonts::FIELD)));
    ScopedWindow notice(sg.attr("Window")(tr("Directorio de empresas"), layout, "modal"_a = true,
                                          "keep_on_top"_a = true, "icon"_a = window_icon(), "finalize"_a = true));
    while (running(thread)) {
        py::tuple read = notice->attr("read")("timeout"_a = POLL_MS);
        if (read[0].is_none()) return false;
    }
    return true;
}

// A failure of the fetch itself: no connection, no answer in time, an answer refused by the
// transport (a redirect elsewhere, a page too large).
bool is_fetch_failure(const py::handle &error) {
    py::object requests_error = pymod("requests.exceptions").attr("RequestException");
    return py::isinstance(error, requests_error) || py::isinstance(error, py::handle(PyExc_RuntimeError)) ||
           py::isinstance(error, py::handle(PyExc_OSError));
}

}  // namespace

Fetched fetch_off_gui_thread(const py::object &url, const std::function<py::object(const py::object &)> &read,
                             py::object &value) {
    auto outcome = std::make_shared<Outcome>();
    py::object thread = start_worker(
        [url, read]() -> py::object {
            py::object page = pymod("dirscrape").attr("get_request")(url, "render"_a = false);
            if (page.is_none()) return py::none();
            py::object result;
            try {
                result = read(page);
            } catch (py::error_already_set &) {
                page.attr("close")();
                throw;
            }
            page.attr("close")();
            return py::make_tuple(result);
        },
        outcome);
    if (!wait_for(thread)) return Fetched::given_up;
    if (outcome->error) {
        if (!is_fetch_failure(outcome->error)) raise_error(outcome->error);
        py::print(py::str("directory: {}").format(outcome->error));
        tell_unreadable();
        return Fetched::failed;
    }
    if (!outcome->value || outcome->value.is_none()) return Fetched::missing;
    value = outcome->value[py::int_(0)];
    return Fetched::read;
}
