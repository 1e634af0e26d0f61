#include "crmapi.hpp"

void register_client(py::module_ &) {}
