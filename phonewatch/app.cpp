#include "phonewatch.hpp"

void register_app(py::module_ &) {}
