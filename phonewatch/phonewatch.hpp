#pragma once
#include "py.hpp"

// Number normalisation and the check of a typed number.
void register_numbers(py::module_ &m);
// The application object: its state lives in Python attributes (variable, app).
struct phonewatch_app {};
// The application object: start-up, tray turns, polling and the manual search window.
void register_app(py::module_ &m);

py::str procetlf(const py::object &telefono);
bool validatenumero(const py::object &text);
