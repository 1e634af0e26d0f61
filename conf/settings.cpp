// Settings store: config.ini, the settings object, resource folders and the interface language.
#include "settings.hpp"

namespace {

py::object mod(const char *name) { return py::module_::import(name); }

bool is_empty(const py::object &value) { return value.is_none() || py::len(value) == 0; }

void construct(py::object self) {
    // The language comes from the user's default locale, whatever LANG says; with no language
    // "en" is used.
    py::object lang = default_locale().first;
    if (is_empty(lang)) lang = py::str("en");

    self.attr("ficheroini") = py::str("config.ini");
    py::object filename = self.attr("ficheroini");
    py::object parser = settings_parser();
    self.attr("configparser") = parser;
    // A settings file the program can neither read nor write ends the run with a clear word.
    py::object damaged = on_settings_file(filename, [&] {
        remove_stale_temporaries(filename);
        return read_settings(parser, filename);
    });

    py::dict api, windows;
    api["api_key"] = "";
    api["camposlibres"] = "";
    windows["idioma"] = lang[py::slice(0, 2, 1)];
    windows["autocierre_tiempo"] = "60";
    windows["tema"] = "DarkBlue16";
    windows["appandroid"] = "1";
    // The office's country, for numbers written without their international prefix.
    windows["pais"] = "ES";
    // Hours after which the contact index is read again from Holded; 0 turns it off.
    windows["indice_horas"] = "8";
    py::list modelo;
    modelo.append(py::dict("api"_a = api));
    modelo.append(py::dict("windows"_a = windows));
    self.attr("modelo") = modelo;

    self.attr("lnuevo") = on_settings_file(filename, [&] { return mod("libquorvaconfig").attr("manejoini")(self); });

    // `_` must exist for every module even when no catalogue can be loaded: the Spanish texts.
    py::object builtins = mod("builtins");
    if (!py::hasattr(builtins, "_")) mod("gettext").attr("NullTranslations")().attr("install")();
    try {
        idioma(parser.attr("get")("windows", "idioma").attr("lower")());
    } catch (py::error_already_set &) {
        idioma(py::str("en"));
    }

    tell_damaged_settings(damaged);

    self.attr("cvariables") = py::dict();
    self.attr("actualizar_variables")();

    if (py::len(self.attr("cvariables")["api_key"]) == 0) {
        self.attr("apiteam") = py::none();
        self.attr("inicioconfig")();
    }
}

// The stored auto-close time in seconds (minutes field times ten, as the window shows it);
// a value that is not a whole number counts as the default, 60. Kept as a Python int, so any
// size of number is read.
py::object autoclose_seconds(const py::object &text) {
    if (!text.is_none()) {
        try {
            return py::int_(text) * py::int_(10);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return py::int_(600);
}

// The stored age limit of the contact index in hours; a value that is not a number counts as the
// default, 8. Zero or less turns the index off.
py::object index_hours(const py::object &text) {
    if (!text.is_none()) {
        try {
            py::object hours = py::module_::import("builtins").attr("float")(text);
            if (py::bool_(py::module_::import("math").attr("isfinite")(hours))) return hours;
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_ValueError)) throw;
        }
    }
    return py::float_(8.0);
}

void actualizar_variables(py::object self) {
    py::object parser = self.attr("configparser");
    py::object values = self.attr("cvariables");
    for (py::handle model : self.attr("modelo"))
        for (py::handle entry : model.attr("items")())
            for (py::handle option : entry[py::int_(1)])
                values[option] = parser.attr("get")(entry[py::int_(0)], option, "fallback"_a = py::none());

    py::object seconds = autoclose_seconds(values["autocierre_tiempo"]);
    values["autocierre_tiempo"] = seconds;
    py::object android = values["appandroid"];
    values["appandroid"] = py::bool_(!android.is_none() && android.attr("lower")().equal(py::str("si")));
    values["autocierre"] = py::bool_(seconds > py::int_(0));
    values["indice_horas"] = index_hours(values["indice_horas"]);
}

}  // namespace

py::str foldimg(const py::object &cdir) {
    py::object os = mod("os");
    py::object sys = mod("sys");
    py::object base;
    if (py::hasattr(sys, "_MEIPASS"))
        base = sys.attr("_MEIPASS");
    else
        base = os.attr("path").attr("abspath")(os.attr("path").attr("dirname")(mod("conf").attr("__file__")));
    // Resource names are written with Windows separators; elsewhere they mean the same folders.
    py::object relative = cdir;
    if (py::str(os.attr("sep")).cast<std::string>() == "/") relative = cdir.attr("replace")("\\", "/");
    return os.attr("path").attr("abspath")(os.attr("path").attr("join")(base, relative));
}

void idioma(const py::object &cidioma) {
    py::object localedir = foldimg(py::str("locale"));
    try {
        py::list languages;
        languages.append(cidioma);
        mod("gettext").attr("translation")(cidioma, "localedir"_a = localedir, "languages"_a = languages).attr("install")();
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
