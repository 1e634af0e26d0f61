// Numbers as the handset, the command line or the user give them, made ready for the lookup.
#include "phonewatch.hpp"

namespace {

void require_text(const py::object &value, const char *function) {
    if (!py::isinstance<py::str>(value))
        throw py::type_error(std::string(function) + "() needs a text, not " +
                             py::str(py::type::of(value).attr("__name__")).cast<std::string>());
}

}  // namespace

py::str procetlf(const py::object &telefono) {
    require_text(telefono, "procetlf");
    py::str number = telefono.attr("replace")(" ", "");
    if (py::len(number) > 9 && py::str(number[py::slice(0, 2, 1)]).cast<std::string>() == "00")
        number = py::str("+") + number[py::slice(2, py::len(number), 1)];
    return number;
}

bool validatenumero(const py::object &text) {
    require_text(text, "validatenumero");
    py::object result = py::module_::import("re").attr("match")("(^[0-9 +]+$)", text);
    if (result.is_none()) return false;
    // "$" also matches before a final line break; a number never ends in one.
    return result.attr("group")().equal(text);
}

void register_numbers(py::module_ &m) {
    m.def("procetlf", &procetlf, "telefono"_a, "The number without blanks, with a leading 00 written as +.");
    m.def("validatenumero", &validatenumero, "text"_a, "Whether the text holds only digits, blanks and +.");
}
