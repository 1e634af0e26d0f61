#include "crmprocs.hpp"
#include "gui.hpp"

PYBIND11_MODULE(crmprocs, m) {
    // The modules the workflows use are imported with this one, so that one that is missing
    // shows when the application starts; they are looked up again where used.
    pymod("dirscrape");
    toolkit();
    for (const char *name : {"conf", "webbrowser", "re"}) pymod(name);

    register_create(m);
    register_lookup(m);
    register_form(m);
}
