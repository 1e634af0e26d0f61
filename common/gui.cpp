#include "gui.hpp"
#include "embedded_images.hpp"
#include "released.hpp"

#include <string>

py::object toolkit() {
    try {
        return pymod("FreeSimpleGUI");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    return pymod("PySimpleGUI");
}

py::str window_icon() {
    std::string platform = py::str(pymod("sys").attr("platform"));
    return resource_file("img", platform == "win32" ? "hola.ico" : "hola.png");
}

const char *switch_picture(bool on) { return on ? embedded::TOGGLE_ON_PNG_B64 : embedded::TOGGLE_OFF_PNG_B64; }

void require_gui_thread(const char *what) {
    py::object threading = pymod("threading");
    py::object current = threading.attr("current_thread")();
    if (current.is(threading.attr("main_thread")())) return;
    std::string name = py::str(current.attr("name"));
    py::set_error(
        PyExc_RuntimeError,
        py::str(std::string(what) + " must run on the GUI thread (the main thread), not on \"" + name + "\""));
    throw py::error_already_set();
}

ScopedWindow::ScopedWindow(py::object window) : window_(std::move(window)) { require_gui_thread("a window"); }

void ScopedWindow::close() noexcept {
    if (!window_ || window_.is_none()) return;
    py::object window = std::move(window_);
    window_ = py::none();
    // The exception on its way out (if any) has already been taken from the interpreter, so
    // the toolkit can be called; a failure to close must not replace it.
    try {
        window.attr("close")();
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("closing a window");
    }
    release_window(window);
}

py::object show_notice(const py::object &tray, const py::object &title, const py::object &message, const char *icon) {
    require_gui_thread("a tray notice");
    py::object answer = tray.attr("show_message")(title, message, "messageicon"_a = toolkit().attr(icon));
    release_last_window();
    return answer;
}

std::pair<py::object, py::object> read_event(const py::object &window, const py::object &timeout) {
    require_gui_thread("a window's read");
    py::tuple answer = window.attr("read")("timeout"_a = timeout);
    return {answer[0], answer[1]};
}
