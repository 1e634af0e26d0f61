// The windows of the settings module: configuration, free-field mapping, theme chooser, about box.
#pragma once
#include "settings.hpp"

#include <initializer_list>
#include <string>
#include <utility>

// Addresses and the support number the windows send the user to. They are the maker's to set:
// the pages below are placeholders until the maker publishes the real ones.
namespace maker {
inline constexpr const char *QUICK_START_URL = "https://zelvora.example.com/holded/guia-rapida";
inline constexpr const char *TUTORIAL_VIDEO_URL = "https://zelvora.example.com/holded/video-tutorial";
inline constexpr const char *STORE_PAGE_URL = "https://play.google.com/store/search?q=remotePhone&c=apps";
inline constexpr const char *INSTALLER_URL = "https://zelvora.example.com/holded/descargas/CallCenter.msi";
inline constexpr const char *SITE_URL = "https://zelvora.example.com/";
inline constexpr const char *SUPPORT_PHONE = "+34 900 000 000";
}  // namespace maker

// The Holded web app's API settings page, on the host the environment names.
std::string holded_api_settings_url();

// "Necesita soporte Telefono " and the maker's support number, in the language of the moment.
py::str support_line();

// The first selected item of a Listbox value, or None when nothing is selected.
py::object first_selected(const py::handle &selection);

// One option of config.ini and the value a window gives it.
struct Setting {
    const char *section;
    const char *option;
    py::object value;
};

// Puts the values into the settings' parser and into config.ini as it is on disk now, writing
// the file only when a value differs from what the parser held; the rest of the file (options
// edited by hand meanwhile, the user's own sections) stays as it is and is taken into the
// parser. When the file cannot be written the user is told why, and the result is false: the
// values stay in the parser, so nothing chosen is lost and the window can stay open for another
// try.
bool save_settings(const py::object &self, std::initializer_list<Setting> values);

// The windows as methods of the settings class: configuration, free-field mapping, theme chooser
// and about box.
void register_config_window(SettingsClass &cls);
void register_mapping_window(SettingsClass &cls);
void register_theme_window(py::module_ &m, SettingsClass &cls);
