// Prelude of every module source: pybind11 and the few helpers all modules share. Windows are
// in gui.hpp, the outside services in services.hpp, config.ini in settings_file.hpp.
#pragma once

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <functional>
#include <string>
#include <utility>

namespace py = pybind11;
using namespace pybind11::literals;

// A Python module by name (a sys.modules lookup once it has been imported).
inline py::module_ pymod(const char *name) { return py::module_::import(name); }

// Translation of a Spanish source text through the `_` installed in builtins at this moment
// (the language can change while the program runs); the text itself when no `_` exists.
py::str tr(const char *text);
py::str tr(const py::handle &text);

// A text shown as it stands in every language: the few the design keeps untranslated ("Ok",
// "Cerrar", the directory chooser's captions...). Marked so that the catalogue check, which
// refuses plain literals in windows, knows it is meant.
inline py::str verbatim(const char *text) { return py::str(text); }

// webbrowser.open, looked up at call time so a test or a user can replace the browser.
py::object open_page(const py::handle &url, int new_ = 2, bool autoraise = true);

// Whether a value is a text without characters (None and other values are not).
bool is_empty_text(const py::handle &value);

// Whether the whole of `text` matches the regular expression (Python's re rules). re.match's
// "$" also matches before a final line break, which a number or an address never ends in.
bool full_match(const char *pattern, const py::handle &text);

// A file of one of the resource folders ("img", "dll", "locale"), found through conf.foldimg so
// that it works both beside the modules and inside a bundle, with the platform's separator.
py::str resource_file(const char *folder, const char *name);

// The user's default locale as (language, encoding), each None when it reports none.
std::pair<py::object, py::object> default_locale();

// Starts a Python daemon thread (one that never keeps the program from ending) running `target`,
// named `name`; the thread object.
py::object start_daemon(const py::object &target, const char *name);

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
