// Prelude of every module source: pybind11 and the few helpers all modules share.
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

// The GUI toolkit: FreeSimpleGUI, else PySimpleGUI 4. Looked up in sys.modules on every call,
// so a toolkit put there by a test (or a user) is the one used.
py::object toolkit();

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

// A service's base address, ending in "/": the environment variable `env` when set and not
// empty, else `fallback`. Read when used, so tests and the demo can point it elsewhere.
std::string service_url(const char *env, const char *fallback);

// The outside services: Holded's API root (HOLDED_API_URL), Holded's web app (HOLDED_APP_URL)
// and the company directory (DIRECTORY_URL), each a base ending in "/".
namespace services {
std::string holded_api();
std::string holded_app();
std::string directory();
}  // namespace services

// The page of a Holded record in the web app: its resource ("contacts") and id.
py::str holded_page(const char *resource, const py::handle &id);

// The contact index's age limit in hours from its setting (indice_horas): the number it holds
// (a decimal comma as good as a point), 8 when it holds no number. Zero or less turns the index
// off.
double index_hours(const py::handle &setting);

// Whether a value is a text without characters (None and other values are not).
bool is_empty_text(const py::handle &value);

// Whether the whole of `text` matches the regular expression (Python's re rules). re.match's
// "$" also matches before a final line break, which a number or an address never ends in.
bool full_match(const char *pattern, const py::handle &text);

// What Holded said in a refusal ({"status": 0, "info": "..."}): its words, else its status,
// else the answer itself, cut to a line.
std::string holded_words(const py::handle &answer);

// A file of one of the resource folders ("img", "dll", "locale"), found through conf.foldimg so
// that it works both beside the modules and inside a bundle, with the platform's separator.
py::str resource_file(const char *folder, const char *name);

// The window icon: hola.ico where Tk can use it (Windows), its PNG twin elsewhere.
py::str window_icon();

// The user's default locale as (language, encoding), each None when it reports none.
std::pair<py::object, py::object> default_locale();

// --- values of config.ini that more than one module reads (settings_file.cpp) -----------------

// The office's region (setting pais) when none is stored or the stored one is unknown.
inline constexpr const char *DEFAULT_REGION = "ES";

// The office's region as the phone-number library knows it: the stored text trimmed and
// upper-cased ("es " is "ES"). A code the library does not know, or none at all, gives
// DEFAULT_REGION, and the program says so once per code on standard output.
std::string office_region(const py::handle &stored);

// The API key as the user meant it: without the blanks around it and without the invisible
// characters a copy from a web page or a document brings along (zero-width spaces and joiners,
// word joiner, byte order mark), wherever they are. Anything that is not a text is left as it is.
py::object clean_key(const py::handle &key);

// Whether a (cleaned) key can travel in an HTTP header: printable Latin-1 characters only.
bool key_is_sendable(const py::handle &key);

// --- config.ini (settings_file.cpp): every reader and writer goes through these ---------------
// The rule: a file is read as UTF-8 (a BOM allowed), else in the locale's encoding, and written
// back in the encoding it was read in; a new file is UTF-8. The parser remembers that encoding.

// The user's default locale's encoding, UTF-8 when it reports none: the second try when reading.
py::str settings_encoding();

// A new ConfigParser for config.ini: no interpolation, an option written twice keeps its last value.
py::object settings_parser();

// Reads `filename` into `parser` (one made by settings_parser) and records the encoding it was
// read in. A missing file reads as empty. A file that is not readable INI text in either
// encoding is moved aside and the parser left empty but for the file's api_key line, if it had
// one; the result then describes the damage for tell_damaged_settings, else it is None.
// Errors of the file system (a folder named config.ini, no permission) pass as OSError.
py::object read_settings(const py::object &parser, const py::object &filename);

// Tells the user that the settings file was damaged and where the copy went (nothing for None).
void tell_damaged_settings(const py::object &damage);

// Writes a ConfigParser to `filename` in the encoding it was read in (UTF-8 when that encoding
// cannot hold a value), through a temporary file in the same folder and a rename, so that a
// crash never leaves a half-written settings file. A symbolic link is written through.
void write_settings(const py::handle &parser, const py::handle &filename);

// A Python list of the given items: a row of a window's layout, for instance.
template <typename... Items>
py::list make_list(Items &&...items) {
    py::list list;
    (list.append(std::forward<Items>(items)), ...);
    return list;
}

// Removes the temporary files that a save cut short left beside the settings file.
void remove_stale_temporaries(const py::object &filename);

// Why the file system refused the settings file, in words for the user.
py::str settings_error_reason(const py::handle &error);

// The settings file cannot be read or written at all: a popup names it and the reason, and
// the program ends with status 1 (SystemExit).
[[noreturn]] void settings_unusable(const py::object &filename, const py::handle &error);

// Whether the program may save files in the folder of the settings file (config.ini itself,
// and the call log beside it).
bool settings_folder_writable(const py::object &filename);

// Runs one step on the settings file; a file-system error in it ends the run (settings_unusable).
template <typename Step>
auto on_settings_file(const py::object &filename, Step &&step) -> decltype(step()) {
    try {
        return step();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        settings_unusable(filename, e.value());
    }
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
