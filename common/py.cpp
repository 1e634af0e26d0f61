#include "py.hpp"

#include <cstdlib>

py::str tr(const py::handle &text) {
    py::object builtins = pymod("builtins");
    if (!py::hasattr(builtins, "_")) return py::str(text);
    return py::str(builtins.attr("_")(text));
}

py::str tr(const char *text) { return tr(py::str(text)); }

py::object start_daemon(const py::object &target, const char *name) {
    py::object thread = pymod("threading").attr("Thread")("target"_a = target, "name"_a = name, "daemon"_a = true);
    thread.attr("start")();
    return thread;
}

py::object open_page(const py::handle &url, int new_, bool autoraise) {
    return pymod("webbrowser").attr("open")(url, "new"_a = new_, "autoraise"_a = autoraise);
}

bool is_empty_text(const py::handle &value) { return py::isinstance<py::str>(value) && py::len(value) == 0; }

bool full_match(const char *pattern, const py::handle &text) {
    py::object match = pymod("re").attr("match")(pattern, text);
    return !match.is_none() && match.attr("group")().equal(text);
}

py::str resource_file(const char *folder, const char *name) {
    py::object folder_path = pymod("conf").attr("foldimg")(folder);
    return pymod("os").attr("path").attr("join")(folder_path, name);
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
