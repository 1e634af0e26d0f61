// config.ini on disk: every reader and writer goes through these.
#pragma once
#include "py.hpp"

// --- values of config.ini that more than one module reads ---------------------------------------

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

// --- reading and writing the file -----------------------------------------------------------------

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
