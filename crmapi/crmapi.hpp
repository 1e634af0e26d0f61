#pragma once
#include "py.hpp"

// The REST client of the CRM, its own reader of the API key and the resource table.
void register_client(py::module_ &m);

// The resource table: resource key -> [relative path of its endpoint, template of its record].
// Built afresh on every call, so a caller may change what it gets without touching anyone else's.
py::dict resource_table();
