#include "crmapi.hpp"

PYBIND11_MODULE(crmapi, m) {
    for (const char *name : {"requests", "json", "configparser"}) m.attr(name) = py::module_::import(name);
    m.attr("sg") = toolkit();
    m.attr("sys") = py::module_::import("sys");

    register_client(m);
    register_index(m);
}
