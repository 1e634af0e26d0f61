#include "crmapi.hpp"
#include "gui.hpp"

PYBIND11_MODULE(crmapi, m) {
    // The libraries the client uses are imported with the module, so that one that is missing
    // shows when the application starts; they are looked up again where used.
    for (const char *name : {"requests", "json", "configparser"}) pymod(name);
    toolkit();
    pymod("sys");

    register_client(m);
    register_index(m);
}
