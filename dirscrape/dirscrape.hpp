#pragma once
#include "py.hpp"

// Fetching and reading the directory's pages, the search and the chooser window.
void register_directory(py::module_ &m);
