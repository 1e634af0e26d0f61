// The plain C++ text logic, tested without an interpreter. Prints one line per failed check and
// exits with the number of failures (tests/test_text_cpp.py runs it).
#include "text.hpp"

#include <iostream>
#include <string>

namespace {

int failures = 0;

template <typename A, typename B>
void check_equal(const A &got, const B &wanted, const char *what, int line) {
    if (got == wanted) return;
    ++failures;
    std::cout << "line " << line << ": " << what << "\n";
}

#define CHECK_EQ(got, wanted) check_equal((got), (wanted), #got " == " #wanted, __LINE__)

void chat_numbers() {
    CHECK_EQ(text::international_digits("622 33 44 55", "34"), std::string("34622334455"));
    CHECK_EQ(text::international_digits("+44 20 7946 0958", "34"), std::string("442079460958"));
    CHECK_EQ(text::international_digits("0044 20 7946 0958", "34"), std::string("442079460958"));
    CHECK_EQ(text::international_digits("009", "34"), std::string("34009"));  // too short for a prefix
    CHECK_EQ(text::international_digits("6123456789", "34"), std::string("6123456789"));
}

void small_helpers() {
    CHECK_EQ(text::code_points("España"), 6u);
    CHECK_EQ(text::tax_id_key("b-50.123 456"), std::string("B50123456"));
    for (const char *written : {"ESB12345678", "ES B-12345678", "B/12345678", "es b12345678", "B12345678"})
        CHECK_EQ(text::tax_id_key(written), std::string("B12345678"));
    CHECK_EQ(text::tax_id_key("FR 12 345678901"), std::string("12345678901"));
    CHECK_EQ(text::tax_id_key("12345678Z"), std::string("12345678Z"));  // a NIF keeps its letter
    CHECK_EQ(text::tax_id_key("ESTE"), std::string("ESTE"));            // no id behind the letters
    CHECK_EQ(text::query_safe("Pérez & Hijos #2"), std::string("Pérez %26 Hijos %232"));
    CHECK_EQ(text::ascii_digits("+34 (0) 6-1"), std::string("34061"));
    CHECK_EQ(text::starts_with("Return:36", "Return:"), true);
    CHECK_EQ(text::ends_with("Buscar::Buscar", "::Buscar"), true);
    CHECK_EQ(text::ends_with("r", "::Buscar"), false);
}

}  // namespace

int main() {
    chat_numbers();
    small_helpers();
    if (failures == 0) std::cout << "all checks passed\n";
    return failures;
}
