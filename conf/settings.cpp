// Settings store: config.ini, the settings object, resource folders and the interface language.
#include "settings.hpp"

namespace {

py::object mod(const char *name) { return py::module_::import(name); }

bool is_empty(const py::object &value) { return value.is_none() || py::len(value) == 0; }

// Reads config.ini into the parser. A file that is not valid INI text is moved aside (so the
// user's values are not destroyed silently) and the parser is left empty, to be completed with
// the defaults; the returned text says what happened, for the user, or is None.
py::object read_settings(const py::object &parser, const py::object &filename, const py::object &encoding) {
    py::object error_types = py::make_tuple(mod("configparser").attr("Error"), py::reinterpret_borrow<py::object>(PyExc_UnicodeError));
    try {
        parser.attr("read")(filename, "encoding"_a = encoding);
        return py::none();
    } catch (py::error_already_set &e) {
        if (!PyErr_GivenExceptionMatches(e.type().ptr(), error_types.ptr())) throw;
        py::object os = mod("os");
        py::str reason = py::str(e.value());
        py::object aside = py::str("{}.bad").format(filename);
        for (int n = 1; py::bool_(os.attr("path").attr("exists")(aside)); ++n)
            aside = py::str("{}.bad{}").format(filename, n);
        os.attr("replace")(filename, aside);
        for (py::handle section : parser.attr("sections")()) parser.attr("remove_section")(section);
        return py::str("{}\n{}{}").format(reason, tr("Se ha guardado una copia en "), aside);
    }
}

void construct(py::object self) {
    // The language and the file's encoding come from the user's default locale, whatever LANG
    // says; with no language "en" is used, with no encoding UTF-8.
    auto [lang, enc] = default_locale();
    if (is_empty(lang)) lang = py::str("en");
    enc = settings_encoding();

    self.attr("ficheroini") = py::str("config.ini");
    py::object parser = mod("configparser").attr("ConfigParser")("interpolation"_a = py::none());
    self.attr("configparser") = parser;
    py::object damaged = read_settings(parser, self.attr("ficheroini"), enc);

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

    self.attr("lnuevo") = mod("libquorvaconfig").attr("manejoini")(self);

    // `_` must exist for every module even when no catalogue can be loaded: the Spanish texts.
    py::object builtins = mod("builtins");
    if (!py::hasattr(builtins, "_")) mod("gettext").attr("NullTranslations")().attr("install")();
    try {
        idioma(parser.attr("get")("windows", "idioma").attr("lower")());
    } catch (py::error_already_set &) {
        idioma(py::str("en"));
    }

    if (!damaged.is_none())
        toolkit().attr("popup_error")(tr("El fichero config.ini estaba dañado y se han puesto los valores por defecto"),
                                      damaged, "keep_on_top"_a = true);

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
