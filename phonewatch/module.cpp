#include "phonewatch.hpp"

PYBIND11_MODULE(phonewatch, m) {
    m.attr("crmprocs") = py::module_::import("crmprocs");
    m.attr("crmapi") = py::module_::import("crmapi");
    m.attr("sg") = toolkit();
    m.attr("sys") = py::module_::import("sys");
    m.attr("re") = py::module_::import("re");
    m.attr("conf") = py::module_::import("conf");
    // The handset link needs a .NET runtime; without one the application still runs (no polling).
    try {
        m.attr("clr") = py::module_::import("clr");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        m.attr("clr") = py::none();
    }

    // How often the handset is read, and Holded probed again while it cannot be reached; read at
    // each use, so they can be tuned without a rebuild.
    m.attr("POLL_SECONDS") = 2.4;
    m.attr("RETRY_SECONDS") = 60.0;

    register_numbers(m);
    register_app(m);
}
