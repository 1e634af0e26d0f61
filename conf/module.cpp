#include "settings.hpp"
#include "version.hpp"
#include "windows.hpp"
#include "gui.hpp"

PYBIND11_MODULE(conf, m) {
    // The libraries the settings use are imported with the module, so that one that is missing
    // shows when the application starts; they are looked up again where used.
    for (const char *name : {"configparser", "gettext", "os", "locale", "webbrowser"}) pymod(name);
    toolkit();
    pymod("sys");
    pymod("libquorvaconfig");

    // What the about box shows and `launcher.py --version` prints.
    m.attr("__version__") = product::VERSION;
    m.attr("PRODUCT_NAME") = product::NAME;

    SettingsClass cls = register_settings(m);
    register_config_window(cls);
    register_mapping_window(cls);
    register_theme_window(m, cls);
}
