// The toolkit's windows: the toolkit itself, the guard that closes a window on every way out,
// popups, tray notices and the read of a window's next event. Tk belongs to the thread it was
// made on, the GUI thread (the main thread): these refuse to run on any other.
#pragma once
#include "py.hpp"
#include "released.hpp"

#include <utility>

// The GUI toolkit: FreeSimpleGUI, else PySimpleGUI 4. Looked up in sys.modules on every call,
// so a toolkit put there by a test (or a user) is the one used.
py::object toolkit();

// The window icon: hola.ico where Tk can use it (Windows), its PNG twin elsewhere.
py::str window_icon();

// The picture of a switch (base64 PNG), on or off.
const char *switch_picture(bool on);

// Raises RuntimeError unless the calling thread is the GUI thread; `what` names what was
// attempted ("a popup").
void require_gui_thread(const char *what);

// Closes a window when the scope ends, also when an exception leaves it, so that no failure
// leaves a window of the toolkit open behind the popup that reports it.
class ScopedWindow {
public:
    explicit ScopedWindow(py::object window);
    ScopedWindow(const ScopedWindow &) = delete;
    ScopedWindow &operator=(const ScopedWindow &) = delete;
    ~ScopedWindow() { close(); }

    const py::object &operator*() const { return window_; }
    const py::object *operator->() const { return &window_; }

    // Closes the window now (once) and lets go of what the toolkit keeps of it (release_window);
    // later calls and the destructor do nothing.
    void close() noexcept;

private:
    py::object window_;
};

// One of the toolkit's popups ("popup", "popup_error", "popup_auto_close", "Popup") with these
// arguments, released once it has been dismissed; its answer.
template <typename... Args>
py::object show_popup(const char *kind, Args &&...args) {
    require_gui_thread("a popup");
    py::object answer = toolkit().attr(kind)(std::forward<Args>(args)...);
    release_last_window();
    return answer;
}

// A tray notice (the toolkit's show_message with one of its message icons, named by `icon`),
// released once it has gone; its answer.
py::object show_notice(const py::object &tray, const py::object &title, const py::object &message, const char *icon);

// One read of a window (its `read` with this timeout, None waiting for ever): (event, values).
std::pair<py::object, py::object> read_event(const py::object &window, const py::object &timeout = py::none());
