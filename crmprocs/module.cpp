#include "crmprocs.hpp"

PYBIND11_MODULE(crmprocs, m) {
    m.attr("dirscrape") = py::module_::import("dirscrape");
    m.attr("sg") = toolkit();
    m.attr("conf") = py::module_::import("conf");
    m.attr("webbrowser") = py::module_::import("webbrowser");
    m.attr("re") = py::module_::import("re");

    register_create(m);
    register_lookup(m);
    register_form(m);
}
