// Numbers as the handset, the command line or the user give them, made ready for the lookup.
#include "phonewatch.hpp"

#include "text.hpp"

namespace {

void require_text(const py::object &value, const char *function) {
    if (!py::isinstance<py::str>(value))
        throw py::type_error(std::string(function) + "() needs a text, not " +
                             py::str(py::type::of(value).attr("__name__")).cast<std::string>());
}

// Dialling codes a handset shows in front of the number: "#31#" hides the caller's own number
// for one call, "*31#" shows it.
const char *const SERVICE_PREFIXES[] = {"#31#", "*31#"};

// A character that no telephone number holds but that comes along with one: tabs and blanks
// other than the plain space (which procetlf removes), and invisible format marks such as
// zero-width spaces and the direction marks a phone wraps numbers in.
bool is_stray(const py::str &ch, const py::object &unicodedata) {
    if (ch.equal(py::str(" "))) return false;
    if (py::bool_(ch.attr("isspace")())) return true;
    return py::str(unicodedata.attr("category")(ch)).cast<std::string>() == "Cf";
}

}  // namespace

py::str clean_number(const py::object &telefono) {
    require_text(telefono, "clean_number");
    py::object unicodedata = pymod("unicodedata");
    py::list kept;
    for (auto item : telefono) {
        py::str ch = py::reinterpret_borrow<py::str>(item);
        if (is_stray(ch, unicodedata)) continue;
        // Digits of any script (full-width, Arabic-Indic...) are the same digits to Holded.
        if (py::bool_(ch.attr("isdecimal")()))
            kept.append(py::str(unicodedata.attr("decimal")(ch)));
        else if (ch.equal(py::str("\uFF0B")))  // full-width plus sign
            kept.append(py::str("+"));
        else
            kept.append(ch);
    }
    py::str number = py::str("").attr("join")(kept);
    py::str start = number.attr("lstrip")(" ");
    for (const char *prefix : SERVICE_PREFIXES) {
        if (py::bool_(start.attr("startswith")(prefix)))
            return py::str(start[py::slice(static_cast<py::ssize_t>(std::string(prefix).size()), py::len(start), 1)]);
    }
    return number;
}

bool has_digit(const py::str &number) { return !text::ascii_digits(number.cast<std::string>()).empty(); }

py::str procetlf(const py::object &telefono) {
    require_text(telefono, "procetlf");
    std::string number = text::without(telefono.cast<std::string>(), " ");
    // Longer than nine characters (Python's count: code points) and written with 00: the "+" form.
    if (text::code_points(number) > 9 && text::starts_with(number, "00")) number = "+" + number.substr(2);
    return py::str(number);
}

bool validatenumero(const py::object &number) {
    require_text(number, "validatenumero");
    return full_match("(^[0-9 +]+$)", number);
}

void register_numbers(py::module_ &m) {
    m.def("procetlf", &procetlf, "telefono"_a, "The number without blanks, with a leading 00 written as +.");
    m.def("validatenumero", &validatenumero, "text"_a, "Whether the text holds only digits, blanks and +.");
    m.def("clean_number", &clean_number, "telefono"_a,
          "The number without a leading #31# or *31#, with digits of any script as 0-9 and without tabs,\n"
          "no-break or zero-width blanks; plain spaces stay (procetlf removes them).");
}
