#pragma once
#include "py.hpp"

// The settings object. Its state lives in Python attributes (ficheroini, configparser, modelo,
// lnuevo, cvariables, apiteam, ...) that the other modules and the windows read and change.
struct Settings {};
using SettingsClass = py::class_<Settings>;

// Settings store, resource folders and language.
SettingsClass register_settings(py::module_ &m);
// Configuration window, free-field mapping window, theme chooser and about box.
void register_windows(py::module_ &m, SettingsClass &cls);

// foldimg and idioma, callable from the other files of the module.
py::str foldimg(const py::object &cdir);
void idioma(const py::object &cidioma);
