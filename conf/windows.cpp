// Registration of the windows, and the small helpers they share.
#include "windows.hpp"

std::string holded_api_settings_url() {
    return service_url("HOLDED_APP_URL", "https://app.holded.com/") + "home#settings:/api";
}

py::object first_selected(const py::handle &selection) {
    if (selection.is_none() || py::len(selection) == 0) return py::none();
    return selection[py::int_(0)];
}

std::pair<py::object, py::object> read_window(const py::object &window) {
    py::tuple answer = window.attr("read")();
    return {answer[0], answer[1]};
}

void register_windows(py::module_ &m, SettingsClass &cls) {
    register_config_window(cls);
    register_mapping_window(cls);
    register_theme_window(m, cls);
}
