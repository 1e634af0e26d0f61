#include "released.hpp"

#include "gui.hpp"

namespace {

// The collector stays off while a window is let go and collected: otherwise another thread's
// allocations could run the collection, and the Tk calls of the images' and variables'
// finalizers with it, away from the GUI thread.
class CollectorPaused {
public:
    CollectorPaused() : gc_(py::module_::import("gc")), was_on_(py::bool_(gc_.attr("isenabled")())) {
        gc_.attr("disable")();
    }
    ~CollectorPaused() {
        if (!was_on_) return;
        try {
            gc_.attr("enable")();
        } catch (py::error_already_set &e) {
            e.discard_as_unraisable("turning the collector back on");
        }
    }
    CollectorPaused(const CollectorPaused &) = delete;
    CollectorPaused &operator=(const CollectorPaused &) = delete;

    void collect() { gc_.attr("collect")(); }

private:
    py::module_ gc_;
    bool was_on_;
};

bool is_closed(const py::object &window) {
    if (!py::hasattr(window, "is_closed")) return false;
    return py::bool_(window.attr("is_closed")("quick_check"_a = true));
}

// The toolkit's window class keeps the last window it ran in a class attribute.
constexpr const char *LAST_RUN = "_window_running_mainloop";

}  // namespace

void release_window(const py::object &window) noexcept {
    try {
        if (window.is_none()) return;
        py::object variable = py::getattr(window, "thread_strvar", py::none());
        if (variable.is_none() || !py::hasattr(variable, "trace_info") || !is_closed(window)) return;
        CollectorPaused paused;
        py::list traces = variable.attr("trace_info")();
        if (py::len(traces) == 0) return;  // let go already
        for (py::handle trace : traces) variable.attr("trace_remove")(trace[py::int_(0)], trace[py::int_(1)]);
        py::object kind = py::type::of(window);
        if (py::getattr(kind, LAST_RUN, py::none()).is(window)) py::setattr(kind, LAST_RUN, py::none());
        paused.collect();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("releasing a closed window");
    }
}

void release_last_window() noexcept {
    try {
        py::object kind = py::getattr(toolkit(), "Window", py::none());
        if (!kind.is_none()) release_window(py::getattr(kind, LAST_RUN, py::none()));
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("releasing the toolkit's last window");
    }
}
