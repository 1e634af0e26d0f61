#include "py.hpp"

#include <cmath>

#include <cstdlib>

py::object toolkit() {
    try {
        return pymod("FreeSimpleGUI");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    return pymod("PySimpleGUI");
}

py::str tr(const py::handle &text) {
    py::object builtins = pymod("builtins");
    if (!py::hasattr(builtins, "_")) return py::str(text);
    return py::str(builtins.attr("_")(text));
}

py::str tr(const char *text) { return tr(py::str(text)); }

py::object open_page(const py::handle &url, int new_, bool autoraise) {
    return pymod("webbrowser").attr("open")(url, "new"_a = new_, "autoraise"_a = autoraise);
}

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
    constexpr double DEFAULT_HOURS = 8.0;
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

bool is_empty_text(const py::handle &value) { return py::isinstance<py::str>(value) && py::len(value) == 0; }

bool full_match(const char *pattern, const py::handle &text) {
    py::object match = pymod("re").attr("match")(pattern, text);
    return !match.is_none() && match.attr("group")().equal(text);
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

py::str resource_file(const char *folder, const char *name) {
    py::object folder_path = pymod("conf").attr("foldimg")(folder);
    return pymod("os").attr("path").attr("join")(folder_path, name);
}

py::str window_icon() {
    std::string platform = py::str(pymod("sys").attr("platform"));
    return resource_file("img", platform == "win32" ? "hola.ico" : "hola.png");
}

std::pair<py::object, py::object> default_locale() {
    py::object warnings = pymod("warnings");
    py::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    // getdefaultlocale is deprecated but still the only call that reports the user's locale
    // without changing the process's own settings.
    warnings.attr("simplefilter")("ignore");
    py::object lang = py::none(), enc = py::none();
    try {
        py::tuple found = pymod("locale").attr("getdefaultlocale")();
        lang = found[0];
        enc = found[1];
    } catch (py::error_already_set &e) {
        // An environment naming a locale Python does not know: treated as no locale.
        if (!e.matches(PyExc_ValueError)) {
            guard.attr("__exit__")(py::none(), py::none(), py::none());
            throw;
        }
    }
    guard.attr("__exit__")(py::none(), py::none(), py::none());
    return {lang, enc};
}
