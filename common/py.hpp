// Prelude of every module source: pybind11 and the few helpers all modules share.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>
#include <string>
#include <utility>

namespace py = pybind11;
using namespace pybind11::literals;

// The GUI toolkit: FreeSimpleGUI, else PySimpleGUI 4. Looked up in sys.modules on every call,
// so a toolkit put there by a test (or a user) is the one used.
py::object toolkit();

// Translation of a Spanish source text through the `_` installed in builtins at this moment
// (the language can change while the program runs); the text itself when no `_` exists.
py::str tr(const char *text);
py::str tr(const py::handle &text);

// webbrowser.open, looked up at call time so a test or a user can replace the browser.
py::object open_page(const py::handle &url, int new_ = 2, bool autoraise = true);

// A service's base address, ending in "/": the environment variable `env` when set and not
// empty, else `fallback`.
std::string service_url(const char *env, const char *fallback);

// A file of one of the resource folders ("img", "dll", "locale"), found through conf.foldimg so
// that it works both beside the modules and inside a bundle, with the platform's separator.
py::str resource_file(const char *folder, const char *name);

// The window icon: hola.ico where Tk can use it (Windows), its PNG twin elsewhere.
py::str window_icon();

// The user's default locale as (language, encoding), each None when it reports none.
std::pair<py::object, py::object> default_locale();

// Encoding of config.ini, the same for every reader and writer so values survive a
// write-back unchanged: the user's default locale's encoding, UTF-8 when it reports none.
py::str settings_encoding();

// Writes a ConfigParser to `filename` in settings_encoding(), through a temporary file in the
// same folder and a rename, so that a crash never leaves a half-written settings file.
void write_settings(const py::handle &parser, const py::handle &filename);

// A Python list of the given items: a row of a window's layout, for instance.
template <typename... Items>
py::list make_list(Items &&...items) {
    py::list list;
    (list.append(std::forward<Items>(items)), ...);
    return list;
}

// Gives a pybind11 class a no-argument constructor that runs `body(self)` once the instance
// exists, so the body can set the Python attributes the other modules read.
template <typename Class>
void def_init(Class &cls, std::function<void(py::object)> body) {
    cls.def(py::init<>());
    py::object base = cls.attr("__init__");
    cls.attr("__init__") = py::cpp_function(
        [base, body](py::object self) {
            base(self);
            body(self);
        },
        py::name("__init__"), py::is_method(cls), py::sibling(py::none()));
}
