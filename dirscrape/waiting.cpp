// The directory's pages are fetched and read on a thread of their own: a slow directory must not
// leave the application's windows dead. The GUI thread meanwhile keeps every window painted and
// answering, behind a small modal notice that takes the user's input while the search goes on.
// Only the GUI thread touches the toolkit's windows; the worker merely wakes the notice's read
// with write_event_value, which the toolkit makes for other threads.
#include "dirscrape.hpp"

#include "failure.hpp"
#include "fonts.hpp"
#include "gui.hpp"

#include <memory>

namespace {

// The longest the notice's loop waits without being woken; the worker wakes it when it is done.
constexpr int LONGEST_WAIT_MS = 1000;
// The event the worker sends the notice when it is done.
constexpr const char *DONE = "-HECHO-";

// What the worker and the GUI thread share; touched only with the GIL held. The notice, once the
// GUI thread shows one, is what the worker wakes when it is done.
struct Outcome {
    py::object value;
    py::object error;
    bool done = false;
    py::object notice;
};

// The worker's last step: done, and the notice woken (it may have gone meanwhile).
void finish(const std::shared_ptr<Outcome> &outcome) {
    outcome->done = true;
    if (!outcome->notice) return;
    try {
        outcome->notice.attr("write_event_value")(DONE, py::none());
    } catch (py::error_already_set &) {
        // The user closed the notice: nobody waits for this answer any more.
    }
}

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
        finish(outcome);
    });
    return start_daemon(target, "directorio");
}

// Waits for the worker. A fetch over within a moment shows nothing; a longer one shows the
// notice, whose read keeps the windows alive until the worker wakes it. False when the user
// closed the notice: the search is given up (its thread ends by itself, within the fetch's own
// deadline).
bool wait_for(const py::object &thread, const std::shared_ptr<Outcome> &outcome) {
    thread.attr("join")(pymod("dirscrape").attr("NOTICE_DELAY"));
    if (outcome->done) return true;
    py::object sg = toolkit();
    py::list layout = make_list(make_list(sg.attr("Text")(tr("Buscando en el directorio…"), "font"_a = fonts::FIELD)));
    ScopedWindow notice(sg.attr("Window")(tr("Directorio de empresas"), layout, "modal"_a = true,
                                          "keep_on_top"_a = true, "icon"_a = window_icon(), "finalize"_a = true));
    // Nothing between the test and the hand-over lets the worker run: it either was done, or it
    // will wake the notice.
    if (outcome->done) return true;
    outcome->notice = *notice;
    while (!outcome->done) {
        if (read_event(*notice, py::int_(LONGEST_WAIT_MS)).first.is_none()) {
            outcome->notice = py::object();
            return false;
        }
    }
    outcome->notice = py::object();
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
            long status = 0;
            py::object page = fetch_page(url, status);
            if (page.is_none()) return py::make_tuple(py::none(), status);
            py::object result;
            try {
                result = read(page);
            } catch (py::error_already_set &) {
                page.attr("close")();
                throw;
            }
            page.attr("close")();
            return py::make_tuple(result, 200);
        },
        outcome);
    if (!wait_for(thread, outcome)) return Fetched::given_up;
    if (outcome->error) {
        if (!is_fetch_failure(outcome->error)) raise_error(outcome->error);
        py::print(py::str("directory: {}").format(outcome->error));
        tell_unreadable();
        return Fetched::failed;
    }
    long status = outcome->value[py::int_(1)].cast<long>();
    if (status != 200) {
        if (means_no_result(status)) return Fetched::missing;
        tell_unreadable();
        return Fetched::failed;
    }
    value = outcome->value[py::int_(0)];
    return Fetched::read;
}
