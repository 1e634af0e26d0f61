#include "dirscrape.hpp"

void register_directory(py::module_ &) {}
