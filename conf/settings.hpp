#pragma once
#include "py.hpp"

// The settings object. Its state lives in Python attributes, so that the other modules, the
// windows and the tests read and change them as plain attributes (`variable.cvariables`).
struct Settings {};
using SettingsClass = py::class_<Settings>;

// The names of those attributes, each written once.
namespace setting {
// Set by the constructor, in this order (the order `vars()` shows them in).
inline constexpr const char *FICHEROINI = "ficheroini";      // the settings file, "config.ini"
inline constexpr const char *CONFIGPARSER = "configparser";  // the parsed file: changes go here, then to disk
inline constexpr const char *MODELO = "modelo";              // the defaults: one {section: {option: text}} each
inline constexpr const char *LNUEVO = "lnuevo";              // whether config.ini did not exist yet
inline constexpr const char *CVARIABLES = "cvariables";      // option name to converted value, plus autocierre
inline constexpr const char *APITEAM = "apiteam";            // the API client; set to None while there is no key
// Set by the configuration window for the free-field mapping window.
inline constexpr const char *PRESENTACION = "presentacioncamposlibre";  // the pairs made, one line each
inline constexpr const char *LISTALIBRE = "listalibre";                 // Holded's free fields not yet paired
inline constexpr const char *LIBRETEAMLEADER = "libreteamleader";  // free field to the two parts its entry begins with
// The directory record whose field names the mapping window offers; nothing in the program sets it yet.
inline constexpr const char *JSONEINFORMA = "jsoneinforma";
}  // namespace setting

// The attributes the windows read most, by what they hold.
inline py::object settings_file_of(const py::handle &self) { return self.attr(setting::FICHEROINI); }
inline py::object parser_of(const py::handle &self) { return self.attr(setting::CONFIGPARSER); }
inline py::object values_of(const py::handle &self) { return self.attr(setting::CVARIABLES); }

// The default auto-close time, as a number and as config.ini holds it; a stored text that is
// not a whole number counts as it.
inline constexpr int DEFAULT_AUTOCLOSE_TIME = 60;
inline constexpr const char *DEFAULT_AUTOCLOSE_TEXT = "60";
// The days the call log keeps a call, as a new config.ini stores them.
inline constexpr const char *DEFAULT_LOG_DAYS_TEXT = "90";

// Whether a stored yes/no text reads yes: "si" in any case ("Si" is what the window stores);
// None (no such option) and anything else read no.
bool reads_yes(const py::handle &text);

// Settings store, resource folders and language.
SettingsClass register_settings(py::module_ &m);

// foldimg and idioma, callable from the other files of the module.
py::str foldimg(const py::object &cdir);
void idioma(const py::object &cidioma);
