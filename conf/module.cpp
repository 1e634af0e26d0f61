#include "settings.hpp"

PYBIND11_MODULE(conf, m) {
    for (const char *name : {"configparser", "gettext", "os", "locale", "webbrowser"})
        m.attr(name) = py::module_::import(name);
    m.attr("sg") = toolkit();
    m.attr("sys") = py::module_::import("sys");
    m.attr("libquorvaconfig") = py::module_::import("libquorvaconfig");

    SettingsClass cls = register_settings(m);
    register_windows(m, cls);
}
