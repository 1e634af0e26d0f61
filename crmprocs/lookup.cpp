#include "crmprocs.hpp"

void register_lookup(py::module_ &) {}
