#include "settings.hpp"

PYBIND11_MODULE(conf, m) {
    for (const char *name : {"configparser", "gettext", "os", "locale", "webbrowser"})
        m.attr(name) = pymod(name);
    m.attr("sg") = toolkit();
    m.attr("sys") = pymod("sys");
    m.attr("libquorvaconfig") = pymod("libquorvaconfig");

    SettingsClass cls = register_settings(m);
    register_windows(m, cls);
}
