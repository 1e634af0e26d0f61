#include "settings.hpp"
#include "windows.hpp"
#include "gui.hpp"

PYBIND11_MODULE(conf, m) {
    // The libraries the settings use are imported with the module, so that one that is missing
    // shows when the application starts; they are looked up again where used.
    for (const char *name : {"configparser", "gettext", "os", "locale", "webbrowser"}) pymod(name);
    toolkit();
    pymod("sys");
    pymod("libquorvaconfig");

    SettingsClass cls = register_settings(m);
    register_config_window(cls);
    register_mapping_window(cls);
    register_theme_window(m, cls);
}
