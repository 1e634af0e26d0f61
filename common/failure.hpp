// What the user is told when something fails, and the errors raised from C++.
#pragma once
#include "py.hpp"

#include <string>
#include <vector>

// One line that tells the user what went wrong, in the interface language, without a traceback:
// the service that could not be reached or did not answer, an answer that cannot be read, else
// the error's kind and its first line. `error` is an exception object or a text already worded.
py::str failure_text(const py::handle &error);

// The error an error was raised from: its cause, its context, or what a connection pool keeps as
// its "reason"; None when there is none (a pool's reason may be a mere text). Following it leads
// from a request library's error to the socket or TLS error behind it.
py::object cause_of(const py::handle &error);

// The error and the errors it was raised from, each the cause_of the one before, a dozen at the most.
std::vector<py::object> causes_of(const py::handle &error);

// The address a failed request went to, when the exception knows it; else None.
py::object failed_address(const py::handle &error);

// Raises `error` (an exception object) as the current Python exception.
[[noreturn]] void raise_error(const py::handle &error);

// Raises a RuntimeError whose text is worded for the user (failure_text shows it as it is).
[[noreturn]] void raise_user_error(const std::string &text);
