#include "dirscrape.hpp"
#include "gui.hpp"

PYBIND11_MODULE(dirscrape, m) {
    // The libraries the lookup uses are imported with the module, so that one that is missing or
    // broken shows when the application starts rather than at the first lookup. They are looked
    // up again where used, so nothing keeps them here.
    pymod("requests");
    pymod("bs4");
    toolkit();
    pymod("webbrowser");

    register_pages(m);
    register_search(m);
}
