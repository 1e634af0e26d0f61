#include "crmprocs.hpp"

void register_form(py::module_ &) {}
