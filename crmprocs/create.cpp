#include "crmprocs.hpp"

void register_create(py::module_ &) {}
