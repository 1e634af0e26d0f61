// Numbers as the handset, the command line or the user give them, made ready for the lookup.
#include "phonewatch.hpp"

#include "text.hpp"
#include "settings_file.hpp"

#include <string>
#include <utility>
#include <vector>

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
// other than the plain space (which procetlf removes), control characters (NUL, a terminal's
// escape codes, DEL) and invisible format marks such as zero-width spaces and the direction
// marks a phone wraps numbers in.
bool is_stray(const py::str &ch, const py::object &unicodedata) {
    if (ch.equal(py::str(" "))) return false;
    if (py::bool_(ch.attr("isspace")())) return true;
    std::string category = py::str(unicodedata.attr("category")(ch)).cast<std::string>();
    return category == "Cf" || category == "Cc";
}

// The whole-word digit runs of the arguments written together (by Python's \b, for which
// letters of any script are word characters), each with whether a "+" stands right before it.
std::vector<std::pair<bool, std::string>> argument_digit_runs(const py::list &argv) {
    std::string joined;
    for (size_t i = 1; i < py::len(argv); ++i) joined += clean_number(argv[i]).cast<std::string>();
    std::vector<std::pair<bool, std::string>> runs;
    for (py::handle found : pymod("re").attr("findall")(R"((\+?)\b(\d+)\b)", py::str(joined))) {
        py::tuple groups = py::reinterpret_borrow<py::tuple>(found);
        runs.emplace_back(py::len(groups[0]) > 0, groups[1].cast<std::string>());
    }
    return runs;
}

// The country calling code of the office (setting pais), whose numbers the lookup knows in
// their national form.
std::string home_calling_code(const py::object &settings) {
    std::string region = office_region(settings.attr("get")("pais", DEFAULT_REGION));
    return std::to_string(pymod("phonenumbers").attr("country_code_for_region")(region).cast<long>());
}

// The start-up number keeps the last nine digits of the arguments.
constexpr size_t STARTUP_DIGITS = 9;

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

// A foreign number written with "+" or "00" is kept whole ("+" and all its digits); otherwise,
// and for the office's own country code, the last nine digits of the whole-word digit runs of
// all arguments written together.
py::str startup_number(const py::list &argv, const py::object &settings) {
    auto runs = argument_digit_runs(argv);
    if (runs.empty()) return py::str("");
    std::string digits;
    for (const auto &run : runs) digits += run.second;
    bool zeros = text::starts_with(digits, "00");
    if (zeros) digits.erase(0, 2);
    if ((runs.front().first || zeros) && !digits.empty() && !text::starts_with(digits, home_calling_code(settings)))
        return py::str("+" + digits);

    // Runs are prepended from the last one until exactly nine digits are reached; whatever
    // that gives, its last nine digits are the number.
    std::string digits_kept;
    for (auto run = runs.rbegin(); run != runs.rend(); ++run) {
        digits_kept = run->second + digits_kept;
        if (digits_kept.size() == STARTUP_DIGITS) break;
    }
    return py::str(digits_kept.size() > STARTUP_DIGITS ? digits_kept.substr(digits_kept.size() - STARTUP_DIGITS)
                                                       : digits_kept);
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
          "control characters, no-break or zero-width blanks; plain spaces stay (procetlf removes them).");
}
