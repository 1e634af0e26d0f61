#include "py.hpp"

#include <cstdlib>

py::object toolkit() {
    try {
        return py::module_::import("FreeSimpleGUI");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    return py::module_::import("PySimpleGUI");
}

py::str tr(const py::handle &text) {
    py::object builtins = py::module_::import("builtins");
    if (!py::hasattr(builtins, "_")) return py::str(text);
    return py::str(builtins.attr("_")(text));
}

py::str tr(const char *text) { return tr(py::str(text)); }

py::object open_page(const py::handle &url, int new_, bool autoraise) {
    return py::module_::import("webbrowser").attr("open")(url, "new"_a = new_, "autoraise"_a = autoraise);
}

std::string service_url(const char *env, const char *fallback) {
    // Read through os.environ rather than getenv so a change made from Python is seen.
    py::object value = py::module_::import("os").attr("environ").attr("get")(env, "");
    std::string text = py::str(value);
    if (text.empty()) text = fallback;
    // Every address is a base that paths are appended to.
    if (text.back() != '/') text += '/';
    return text;
}

py::str resource_file(const char *folder, const char *name) {
    py::object folder_path = py::module_::import("conf").attr("foldimg")(folder);
    return py::module_::import("os").attr("path").attr("join")(folder_path, name);
}

py::str window_icon() {
    std::string platform = py::str(py::module_::import("sys").attr("platform"));
    return resource_file("img", platform == "win32" ? "hola.ico" : "hola.png");
}

std::pair<py::object, py::object> default_locale() {
    py::object warnings = py::module_::import("warnings");
    py::object guard = warnings.attr("catch_warnings")();
    guard.attr("__enter__")();
    // getdefaultlocale is deprecated but still the only call that reports the user's locale
    // without changing the process's own settings.
    warnings.attr("simplefilter")("ignore");
    py::object lang = py::none(), enc = py::none();
    try {
        py::tuple found = py::module_::import("locale").attr("getdefaultlocale")();
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

py::str settings_encoding() {
    py::object encoding = default_locale().second;
    if (encoding.is_none() || py::len(encoding) == 0) return py::str("utf-8");
    return py::str(encoding);
}

void write_settings(const py::handle &parser, const py::handle &filename) {
    py::object os = py::module_::import("os");
    py::object path = os.attr("path").attr("abspath")(filename);
    py::object folder = os.attr("path").attr("dirname")(path);
    py::object tempfile = py::module_::import("tempfile");
    py::tuple made = tempfile.attr("mkstemp")("prefix"_a = ".config.", "suffix"_a = ".tmp", "dir"_a = folder);
    py::object fd = made[0];
    py::object temp = made[1];
    try {
        py::object file = py::module_::import("io").attr("open")(fd, "w", "encoding"_a = settings_encoding());
        file.attr("__enter__")();
        try {
            parser.attr("write")(file);
            file.attr("flush")();
            os.attr("fsync")(file.attr("fileno")());
        } catch (...) {
            file.attr("__exit__")(py::none(), py::none(), py::none());
            throw;
        }
        file.attr("__exit__")(py::none(), py::none(), py::none());
        // mkstemp makes the file private; give it the old file's permissions (or the usual ones).
        py::object mode = py::int_(0644);
        if (py::bool_(os.attr("path").attr("exists")(path)))
            mode = py::module_::import("stat").attr("S_IMODE")(os.attr("stat")(path).attr("st_mode"));
        os.attr("chmod")(temp, mode);
        os.attr("replace")(temp, path);
    } catch (...) {
        // Leave the old settings file as it was and no stray temporary beside it.
        try {
            os.attr("unlink")(temp);
        } catch (py::error_already_set &) {
        }
        throw;
    }
}
