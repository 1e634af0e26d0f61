#pragma once
#include "py.hpp"

// The REST client of the CRM, its own reader of the API key and the resource table.
void register_client(py::module_ &m);
