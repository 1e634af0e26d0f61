// config.ini on disk: the one way every module reads, writes and repairs it.
#include "settings_file.hpp"
#include "failure.hpp"
#include "gui.hpp"

#include <string>
#include <vector>

namespace {

// The attribute of a parser that remembers the encoding its file was read in.
constexpr const char *FILE_ENCODING = "file_encoding";
constexpr const char *NEW_FILE_ENCODING = "utf-8";
constexpr const char *UTF8_BOM = "\xef\xbb\xbf";

// The canonical name of a codec, so that "UTF-8", "utf8" and "utf_8" count as one.
std::string codec_name(const py::object &encoding) {
    return py::str(pymod("codecs").attr("lookup")(encoding).attr("name"));
}

// The encodings to try, in order: UTF-8 (with its BOM when the file has one), then the
// locale's, when it is another one.
std::vector<std::string> candidate_encodings(const py::bytes &raw) {
    std::vector<std::string> found;
    bool bom = py::bool_(raw.attr("startswith")(py::bytes(UTF8_BOM)));
    found.push_back(bom ? "utf-8-sig" : "utf-8");
    std::string local = py::str(settings_encoding());
    try {
        if (codec_name(py::str(local)) != "utf-8") found.push_back(local);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_LookupError)) throw;  // a locale naming a codec Python lacks
    }
    return found;
}

// The API key of a file that cannot be parsed: the last `api_key` line in it, as the parser
// would have read it. None when there is none, or when its text could not be decoded.
py::object salvage_api_key(const py::str &text) {
    py::object re = pymod("re");
    py::list keys = re.attr("findall")(R"(^[ \t]*api_key[ \t]*[=:][ \t]*(.*?)[ \t]*\r?$)", text,
                                       py::int_(re.attr("MULTILINE")) | py::int_(re.attr("IGNORECASE")));
    if (py::len(keys) == 0) return py::none();
    py::object key = keys[py::len(keys) - 1];
    if (key.contains(py::str("\ufffd"))) return py::none();
    return key;
}

// Moves a damaged file aside under a free name (config.ini.bad, .bad1, ...); returns that name.
py::object move_aside(const py::object &filename) {
    py::object os = pymod("os");
    py::object aside = py::str("{}.bad").format(filename);
    for (int n = 1; py::bool_(os.attr("path").attr("exists")(aside)); ++n)
        aside = py::str("{}.bad{}").format(filename, n);
    os.attr("replace")(filename, aside);
    return aside;
}

// A temporary file left by write_settings: ".config." + mkstemp's 8 characters + ".tmp".
bool is_settings_temporary(const py::handle &name) {
    return !pymod("re").attr("fullmatch")(R"(\.config\.[A-Za-z0-9_]{8}\.tmp)", name).is_none();
}

// The file is set aside as it was; the parser starts empty, to be completed with the defaults,
// but keeps the API key, which the user cannot easily get again. The damage with the copy's name.
py::object set_aside(const py::object &parser, const py::object &filename, const py::object &text,
                     const py::tuple &damage) {
    for (py::handle section : parser.attr("sections")()) parser.attr("remove_section")(section);
    py::object key = salvage_api_key(py::str(text).attr("lstrip")("\ufeff"));
    if (!key.is_none()) {
        parser.attr("add_section")("api");
        parser.attr("set")("api", "api_key", key);
    }
    py::object aside = move_aside(filename);
    return py::make_tuple(damage[0], aside, damage[2]);
}

// The parser's text in the encoding its file was read in; UTF-8 when that one cannot hold a value.
py::object settings_bytes(const py::handle &parser) {
    py::object buffer = pymod("io").attr("StringIO")();
    parser.attr("write")(buffer);
    py::object text = buffer.attr("getvalue")();
    py::object encoding = py::getattr(parser, FILE_ENCODING, py::str(NEW_FILE_ENCODING));
    try {
        return text.attr("encode")(encoding);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_UnicodeEncodeError) && !e.matches(PyExc_LookupError)) throw;
        // A value the file's old encoding cannot hold: UTF-8 holds every value.
        py::setattr(parser, FILE_ENCODING, py::str(NEW_FILE_ENCODING));
        return text.attr("encode")(NEW_FILE_ENCODING);
    }
}

}  // namespace

std::string office_region(const py::handle &stored) {
    py::object region = py::str("");
    if (py::isinstance<py::str>(stored)) region = stored.attr("strip")().attr("upper")();
    if (py::bool_(pymod("phonenumbers").attr("SUPPORTED_REGIONS").attr("__contains__")(region)))
        return region.cast<std::string>();
    // Every module reads the setting, each with its own copy of this code: the codes already
    // told live in the interpreter, so that a run says it once.
    py::object sys = pymod("sys");
    constexpr const char *TOLD = "_office_regions_told";
    if (!py::hasattr(sys, TOLD)) py::setattr(sys, TOLD, py::set());
    py::set told = sys.attr(TOLD);
    if (!told.contains(region)) {
        told.add(region);
        py::print(
            py::str("pais = {!r} en config.ini no es una región conocida: se usa {}").format(region, DEFAULT_REGION),
            "flush"_a = true);
    }
    return DEFAULT_REGION;
}

py::object clean_key(const py::handle &key) {
    if (!py::isinstance<py::str>(key)) return py::reinterpret_borrow<py::object>(key);
    return pymod("re").attr("sub")(R"([\u200b-\u200d\u2060\ufeff])", "", key).attr("strip")();
}

bool key_is_sendable(const py::handle &key) {
    return py::isinstance<py::str>(key) && !pymod("re").attr("fullmatch")(R"([\x20-\x7e\xa0-\xff]*)", key).is_none();
}

py::str settings_encoding() {
    py::object encoding = default_locale().second;
    if (encoding.is_none() || py::len(encoding) == 0) return py::str(NEW_FILE_ENCODING);
    return py::str(encoding);
}

py::object settings_parser() {
    // No interpolation: a "%" in a value is just a character. Not strict: an option (or a
    // section) written twice keeps its last value instead of making the file unreadable.
    return pymod("configparser").attr("ConfigParser")("interpolation"_a = py::none(), "strict"_a = false);
}

py::object read_settings(const py::object &parser, const py::object &filename) {
    py::setattr(parser, FILE_ENCODING, py::str(NEW_FILE_ENCODING));
    py::bytes raw;
    try {
        raw = pymod("pathlib").attr("Path")(filename).attr("read_bytes")();
    } catch (py::error_already_set &e) {
        if (e.matches(PyExc_FileNotFoundError)) return py::none();  // a first start
        throw;
    }

    py::object text = py::none();
    py::object reason = py::none();
    std::vector<std::string> encodings = candidate_encodings(raw);
    for (const std::string &encoding : encodings) {
        try {
            text = raw.attr("decode")(encoding);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_UnicodeDecodeError)) throw;
            continue;
        }
        py::setattr(parser, FILE_ENCODING, py::str(encoding));
        try {
            parser.attr("read_string")(text, "source"_a = filename);
            return py::none();
        } catch (py::error_already_set &e) {
            if (!e.matches(pymod("configparser").attr("Error"))) throw;
            reason = py::str(e.value());
        }
        break;
    }
    std::string tried;
    if (text.is_none()) {
        // Worded when shown, in the language of that moment.
        for (const std::string &encoding : encodings) tried += (tried.empty() ? "" : ", ") + encoding;
        text = raw.attr("decode")("utf-8", "replace");
    }

    return set_aside(parser, filename, text, py::make_tuple(reason, py::none(), py::str(tried)));
}

void tell_damaged_settings(const py::object &damage) {
    if (damage.is_none()) return;
    py::object reason = damage[py::int_(0)];
    if (reason.is_none())
        reason = py::str("{} ({})").format(tr("No es texto en UTF-8 ni en la codificación del sistema"),
                                           damage[py::int_(2)]);
    py::str detail = py::str("{}\n{}{}").format(reason, tr("Se ha guardado una copia en "), damage[py::int_(1)]);
    show_popup("popup_error", tr("El fichero config.ini estaba dañado y se han puesto los valores por defecto"), detail,
               "keep_on_top"_a = true);
}

void write_settings(const py::handle &parser, const py::handle &filename) {
    py::object os = pymod("os");
    // Through a link, the file it points to is the one replaced; the link stays.
    py::object path = os.attr("path").attr("realpath")(filename);
    py::object folder = os.attr("path").attr("dirname")(path);

    py::object data = settings_bytes(parser);

    py::tuple made = pymod("tempfile").attr("mkstemp")("prefix"_a = ".config.", "suffix"_a = ".tmp", "dir"_a = folder);
    py::object fd = made[0];
    py::object temp = made[1];
    try {
        py::object file = pymod("io").attr("open")(fd, "wb");
        file.attr("__enter__")();
        try {
            file.attr("write")(data);
            file.attr("flush")();
            os.attr("fsync")(file.attr("fileno")());
        } catch (...) {
            file.attr("__exit__")(py::none(), py::none(), py::none());
            throw;
        }
        file.attr("__exit__")(py::none(), py::none(), py::none());
        // mkstemp makes the file private (owner only), which suits a new file: it holds the API
        // key. A rewrite keeps the permissions the old file had.
        if (py::bool_(os.attr("path").attr("isfile")(path)))
            os.attr("chmod")(temp, pymod("stat").attr("S_IMODE")(os.attr("stat")(path).attr("st_mode")));
        os.attr("replace")(temp, path);
    } catch (...) {
        // Leave the old settings file as it was and no stray temporary beside it.
        try {
            os.attr("unlink")(temp);
        } catch (py::error_already_set &) {}
        throw;
    }
}

void remove_stale_temporaries(const py::object &filename) {
    py::object os = pymod("os");
    py::list folders;
    for (const char *resolve : {"abspath", "realpath"}) {
        py::object folder = os.attr("path").attr("dirname")(os.attr("path").attr(resolve)(filename));
        if (!folders.contains(folder)) folders.append(folder);
    }
    for (py::handle folder : folders) {
        py::list names;
        try {
            names = os.attr("listdir")(folder);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;
            continue;  // the start-up's own read reports a folder it cannot use
        }
        for (py::handle name : names) {
            if (!is_settings_temporary(name)) continue;
            py::object path = os.attr("path").attr("join")(folder, name);
            if (!py::bool_(os.attr("path").attr("isfile")(path)) || py::bool_(os.attr("path").attr("islink")(path)))
                continue;
            try {
                os.attr("unlink")(path);
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_OSError)) throw;
            }
        }
    }
}

bool settings_folder_writable(const py::object &filename) {
    py::object os = pymod("os");
    py::object folder = os.attr("path").attr("dirname")(os.attr("path").attr("abspath")(filename));
    return py::bool_(os.attr("access")(folder, os.attr("W_OK")));
}

py::str settings_error_reason(const py::handle &error) {
    py::object number = py::getattr(error, "errno", py::none());
    if (!number.is_none()) {
        py::object errno_ = pymod("errno");
        auto is = [&](const char *name) { return py::hasattr(errno_, name) && number.equal(errno_.attr(name)); };
        if (is("EISDIR")) return tr("es una carpeta, no un fichero");
        if (is("EACCES") || is("EPERM")) return tr("permiso denegado");
        if (is("EROFS")) return tr("el disco es de solo lectura");
        if (is("ENOSPC")) return tr("el disco está lleno");
    }
    py::object text = py::getattr(error, "strerror", py::none());
    return text.is_none() ? py::str(error) : py::str(text);
}

void settings_unusable(const py::object &filename, const py::handle &error) {
    // Met before the stored language is known: the locale's language says it.
    if (!py::hasattr(pymod("builtins"), "_")) {
        py::object lang = default_locale().first;
        if (!lang.is_none() && py::len(lang) >= 2)
            pymod("conf").attr("idioma")(lang[py::slice(0, 2, 1)].attr("lower")());
    }
    py::object path = pymod("os").attr("path").attr("abspath")(filename);
    show_popup(
        "popup_error", tr("Error"),
        py::str("{}\n{}\n{}")
            .format(tr("No se puede leer ni guardar el fichero de configuración"), path, settings_error_reason(error)),
        "keep_on_top"_a = true);
    // Ends the run with status 1, as sys.exit(1) would.
    raise_error(pymod("builtins").attr("SystemExit")(1));
}
