#include "services.hpp"

#include <cmath>
#include <string>

std::string service_url(const char *env, const char *fallback) {
    // Read through os.environ rather than getenv so a change made from Python is seen.
    py::object value = pymod("os").attr("environ").attr("get")(env, "");
    std::string text = py::str(value);
    if (text.empty()) text = fallback;
    // Every address is a base that paths are appended to.
    if (text.back() != '/') text += '/';
    return text;
}

namespace services {
std::string holded_api() { return service_url("HOLDED_API_URL", "https://api.holded.com/api/"); }
std::string holded_app() { return service_url("HOLDED_APP_URL", "https://app.holded.com/"); }
std::string directory() { return service_url("DIRECTORY_URL", "https://empresite.eleconomista.es/"); }
}  // namespace services

py::str holded_page(const char *resource, const py::handle &id) {
    return py::str(services::holded_app() + resource + "/" + py::str(id).cast<std::string>());
}

double index_hours(const py::handle &setting) {
    const double DEFAULT_HOURS = std::stod(DEFAULT_INDEX_HOURS_TEXT);
    if (setting.is_none()) return DEFAULT_HOURS;
    py::object value = py::reinterpret_borrow<py::object>(setting);
    // Written by hand as Spanish writes decimals: "24,5".
    if (py::isinstance<py::str>(value)) value = value.attr("strip")().attr("replace")(",", ".");
    try {
        double hours = pymod("builtins").attr("float")(value).cast<double>();
        return std::isfinite(hours) ? hours : DEFAULT_HOURS;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_TypeError)) throw;
        return DEFAULT_HOURS;
    }
}

std::string holded_words(const py::handle &answer) {
    if (py::isinstance<py::dict>(answer)) {
        py::dict body = py::reinterpret_borrow<py::dict>(answer);
        for (const char *field : {"info", "status"})
            if (body.contains(field) && !body[field].is_none() && py::len(py::str(body[field])) > 0)
                return py::str(body[field]).cast<std::string>();
    }
    return py::str(py::repr(answer)).cast<std::string>().substr(0, 80);
}
