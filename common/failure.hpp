// What the user is told when something fails, and the guard that closes a window on the way out.
#pragma once
#include "py.hpp"

#include <string>

// One line that tells the user what went wrong, in the interface language, without a traceback:
// the service that could not be reached or did not answer, an answer that cannot be read, else
// the error's kind and its first line. `error` is an exception object or a text already worded.
py::str failure_text(const py::handle &error);

// The error an error was raised from: its cause, its context, or what a connection pool keeps as
// its "reason"; None when there is none (a pool's reason may be a mere text). Following it leads
// from a request library's error to the socket or TLS error behind it.
py::object cause_of(const py::handle &error);

// Raises `error` (an exception object) as the current Python exception.
[[noreturn]] void raise_error(const py::handle &error);

// Raises a RuntimeError whose text is worded for the user (failure_text shows it as it is).
[[noreturn]] void raise_user_error(const std::string &text);

// Closes a window when the scope ends, also when an exception leaves it, so that no failure
// leaves a window of the toolkit open behind the popup that reports it.
class ScopedWindow {
public:
    explicit ScopedWindow(py::object window) : window_(std::move(window)) {}
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
