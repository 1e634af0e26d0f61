#include "dirscrape.hpp"

PYBIND11_MODULE(dirscrape, m) {
    m.attr("requests") = py::module_::import("requests");
    m.attr("BeautifulSoup") = py::module_::import("bs4").attr("BeautifulSoup");
    m.attr("sg") = toolkit();
    m.attr("webbrowser") = py::module_::import("webbrowser");

    register_directory(m);
}
