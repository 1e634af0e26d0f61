// Settings store: config.ini, the settings object, resource folders and the interface language.
#include "settings.hpp"
#include "released.hpp"
#include "gui.hpp"
#include "services.hpp"
#include "settings_file.hpp"

#include <algorithm>
#include <cmath>
#include <string>

namespace {

// One option of config.ini and the text a new file gets.
struct Default {
    const char *option;
    const char *text;  // nullptr: the language of the user's locale
};

// The defaults, section by section, options in the order they are written to the file.
constexpr Default API_DEFAULTS[] = {{"api_key", ""}, {"camposlibres", ""}};
constexpr Default WINDOWS_DEFAULTS[] = {
    {"idioma", nullptr},
    {"autocierre_tiempo", DEFAULT_AUTOCLOSE_TEXT},
    {"tema", "DarkBlue16"},
    // Not "si": the handset link stays off until the configuration window stores "Si".
    {"appandroid", "1"},
    // The office's country, for numbers written without their international prefix.
    {"pais", DEFAULT_REGION},
    // Hours after which the contact index is read again from Holded; 0 turns it off.
    {"indice_horas", DEFAULT_INDEX_HOURS_TEXT},
    // Days the call log keeps a call; 0 keeps none.
    {"dias_registro", DEFAULT_LOG_DAYS_TEXT},
    // "Si": every call of a known caller is logged in Holded as a CRM event.
    {"registrar_llamadas", "No"},
};

// The days the call log keeps: a whole number of days, the default when the text holds none,
// never fewer than none.
py::int_ log_days(const py::handle &text) {
    long days = std::stol(DEFAULT_LOG_DAYS_TEXT);
    if (!text.is_none()) {
        try {
            days = py::int_(pymod("builtins").attr("int")(py::str(text).attr("strip")())).cast<long>();
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return py::int_(std::max(0L, days));
}

// cvariables holds the stored auto-close time times ten: the seconds a form stays open.
constexpr int AUTOCLOSE_SCALE = 10;
// The language a new file gets: the user's default locale's, whatever LANG says; "en" when the
// locale reports none. The first two characters, cut by Python's rules (code points).
py::object locale_language() {
    py::object lang = default_locale().first;
    if (lang.is_none() || is_empty_text(lang)) lang = py::str("en");
    return lang[py::slice(0, 2, 1)];
}

// One section's defaults as {section: {option: text}}, the form manejoini completes the file from.
template <std::size_t N>
py::dict section_model(const char *section, const Default (&defaults)[N], const py::object &language) {
    py::dict texts;
    for (const Default &entry : defaults) texts[entry.option] = entry.text ? py::str(entry.text) : language;
    py::dict model;
    model[section] = texts;
    return model;
}

// Sets the settings file's name and parser and reads the file, after removing what a save cut
// short left beside it. A file the program can neither read nor write ends the run with a clear
// word. Returns the damage to tell the user about (None for a sound file).
py::object read_file(const py::object &self) {
    py::setattr(self, setting::FICHEROINI, py::str("config.ini"));
    py::object filename = settings_file_of(self);
    py::object parser = settings_parser();
    py::setattr(self, setting::CONFIGPARSER, parser);
    return on_settings_file(filename, [&] {
        remove_stale_temporaries(filename);
        return read_settings(parser, filename);
    });
}

// Installs `_` for the stored language, "en" when that cannot be read. `_` exists afterwards
// for every module even when no catalogue loads: it then gives the Spanish texts.
void install_stored_language(const py::object &parser) {
    if (!py::hasattr(pymod("builtins"), "_")) pymod("gettext").attr("NullTranslations")().attr("install")();
    try {
        idioma(parser.attr("get")("windows", "idioma").attr("lower")());
    } catch (py::error_already_set &) {  // whatever stops the stored language being read
        idioma(py::str("en"));
    }
}

// Completes config.ini with the defaults (libquorvaconfig writes it only when an option is
// missing). A file that was read but cannot be written does not stop the run: the defaults then
// live in memory only, and `saveable` turns false. A file that can be neither read nor written
// ends the run (settings_unusable). Returns lnuevo.
py::object complete_file(const py::object &self, bool &saveable) {
    py::object filename = settings_file_of(self);
    bool existed = py::bool_(pymod("os.path").attr("isfile")(filename));
    try {
        return pymod("libquorvaconfig").attr("manejoini")(self);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_OSError)) throw;
        if (!existed) settings_unusable(filename, e.value());
        saveable = false;
        return py::bool_(false);
    }
}

// Tells the user, once and in the interface language, that nothing can be saved beside
// config.ini: neither the settings nor the call log.
void tell_read_only_folder(const py::object &filename) {
    py::object path = pymod("os.path");
    py::object folder = path.attr("dirname")(path.attr("abspath")(filename));
    show_popup("popup",
               py::str("{}\n{}").format(
                   tr("Los ajustes y el registro de llamadas no se pueden guardar en esta carpeta:"), folder),
               "title"_a = tr("Carpeta de solo lectura"), "keep_on_top"_a = true);
}

void construct(py::object self) {
    py::object language = locale_language();
    py::object damage = read_file(self);
    py::setattr(
        self, setting::MODELO,
        make_list(section_model("api", API_DEFAULTS, language), section_model("windows", WINDOWS_DEFAULTS, language)));
    bool saveable = settings_folder_writable(settings_file_of(self));
    py::object lnuevo = complete_file(self, saveable);
    py::setattr(self, setting::LNUEVO, lnuevo);
    install_stored_language(parser_of(self));
    tell_damaged_settings(damage);
    if (!saveable) tell_read_only_folder(settings_file_of(self));

    py::setattr(self, setting::CVARIABLES, py::dict());
    self.attr("actualizar_variables")();
    // Without a key nothing else can work: the user is asked for it before anything happens.
    if (py::len(values_of(self)["api_key"]) == 0) {
        py::setattr(self, setting::APITEAM, py::none());
        self.attr("inicioconfig")();
    }
}

// The stored auto-close time in seconds; a text that is not a whole number counts as the
// default. Kept a Python int, so a number of any size is read.
py::object autoclose_seconds(const py::object &text) {
    py::object time = py::int_(DEFAULT_AUTOCLOSE_TIME);
    if (!text.is_none()) {
        try {
            time = py::int_(text);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return time * py::int_(AUTOCLOSE_SCALE);
}

void actualizar_variables(py::object self) {
    py::object parser = parser_of(self);
    py::object values = values_of(self);
    for (py::handle model : self.attr(setting::MODELO))
        for (auto [section, options] : model.cast<py::dict>())
            for (py::handle option : options)
                values[option] = parser.attr("get")(section, option, "fallback"_a = py::none());

    py::object seconds = autoclose_seconds(values["autocierre_tiempo"]);
    values["autocierre_tiempo"] = seconds;
    values["appandroid"] = py::bool_(reads_yes(values["appandroid"]));
    values["autocierre"] = py::bool_(seconds > py::int_(0));
    values["indice_horas"] = py::float_(index_hours(values["indice_horas"]));
    values["pais"] = py::str(office_region(values["pais"]));
    values["api_key"] = clean_key(values["api_key"]);
    values["dias_registro"] = log_days(values["dias_registro"]);
    values["registrar_llamadas"] = py::bool_(reads_yes(values["registrar_llamadas"]));
}

}  // namespace

bool reads_yes(const py::handle &text) { return !text.is_none() && text.attr("lower")().equal(py::str("si")); }

py::str foldimg(const py::object &cdir) {
    py::object path = pymod("os.path");
    py::object sys = pymod("sys");
    py::object base = py::hasattr(sys, "_MEIPASS")
                          ? py::object(sys.attr("_MEIPASS"))
                          : path.attr("abspath")(path.attr("dirname")(pymod("conf").attr("__file__")));
    // Resource names are written with Windows separators; elsewhere they mean the same folders.
    py::object relative = cdir;
    if (py::str(path.attr("sep")).cast<std::string>() == "/") relative = cdir.attr("replace")("\\", "/");
    return path.attr("abspath")(path.attr("join")(base, relative));
}

void idioma(const py::object &cidioma) {
    py::object localedir = foldimg(py::str("locale"));
    try {
        pymod("gettext")
            .attr("translation")(cidioma, "localedir"_a = localedir, "languages"_a = make_list(cidioma))
            .attr("install")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print(py::str(e.value()));
    }
}

SettingsClass register_settings(py::module_ &m) {
    m.def("foldimg", &foldimg, "cdir"_a, "Absolute path of a folder or file under the program's resource folder.");
    m.def("idioma", &idioma, "cidioma"_a, "Installs `_` for the language code; keeps the earlier one when it cannot.");

    SettingsClass cls(m, "conf", py::dynamic_attr());
    def_init(cls, construct);
    cls.def("actualizar_variables", &actualizar_variables, "Rebuilds cvariables from the parsed settings.");
    return cls;
}
