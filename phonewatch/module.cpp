#include "phonewatch.hpp"
#include "gui.hpp"

PYBIND11_MODULE(phonewatch, m) {
    // The modules the application uses are imported with this one, so that one that is missing
    // shows when the application starts; they are looked up again where used.
    pymod("crmprocs");
    pymod("crmapi");
    toolkit();
    for (const char *name : {"sys", "re", "conf"}) pymod(name);
    // The handset link needs a .NET runtime; without one the application still runs (no polling).
    // phonewatch.clr tells which.
    try {
        m.attr("clr") = pymod("clr");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        m.attr("clr") = py::none();
    }

    // How often the handset is read (on a thread of its own, whatever holds the GUI thread), and
    // Holded probed again while it cannot be reached; read at each use, so they can be tuned
    // without a rebuild.
    m.attr("POLL_SECONDS") = 0.5;
    m.attr("RETRY_SECONDS") = 60.0;
    // How long the handset may not answer before the user is told it is lost.
    m.attr("SILENCE_SECONDS") = 10.0;

    register_numbers(m);
    register_tray(m);
    register_store(m);
    register_app(m);
}
