#include "settings.hpp"

void register_windows(py::module_ &, SettingsClass &) {}
