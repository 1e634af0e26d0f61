#include "text.hpp"

namespace text {
namespace {

bool is_ascii_digit(unsigned char c) { return c >= '0' && c <= '9'; }

}  // namespace

bool starts_with(std::string_view text, std::string_view prefix) { return text.substr(0, prefix.size()) == prefix; }

bool ends_with(std::string_view text, std::string_view suffix) {
    return text.size() >= suffix.size() && text.substr(text.size() - suffix.size()) == suffix;
}

std::size_t code_points(std::string_view utf8) {
    std::size_t count = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80) ++count;  // every byte but a continuation byte starts one
    return count;
}

std::string without(std::string_view text, std::string_view removed) {
    std::string kept;
    for (char c : text)
        if (removed.find(c) == std::string_view::npos) kept += c;
    return kept;
}

std::string ascii_digits(std::string_view text) {
    std::string digits;
    for (unsigned char c : text)
        if (is_ascii_digit(c)) digits += static_cast<char>(c);
    return digits;
}

std::string international_digits(std::string_view number, std::string_view home_prefix) {
    std::string compact = without(number, " ");
    std::string digits = ascii_digits(compact);
    if (starts_with(compact, "+")) return digits;
    if (starts_with(compact, "00") && compact.size() > 9) return digits.substr(2);
    if (code_points(compact) <= 9) return std::string(home_prefix) + digits;
    return digits;
}

std::string tax_id_key(std::string_view text) {
    std::string key;
    for (char c : without(text, " \t.-/")) key += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    // The EU VAT form of an id is the id behind its country's code ("ESB12345678"): compared
    // without it. An id of its own never starts with two letters and a digit after the code.
    static const char *const eu_codes[] = {"AT", "BE", "BG", "CY", "CZ", "DE", "DK", "EE", "EL", "ES",
                                           "FI", "FR", "GR", "HR", "HU", "IE", "IT", "LT", "LU", "LV",
                                           "MT", "NL", "PL", "PT", "RO", "SE", "SI", "SK", "XI"};
    if (key.size() > 3 && key.find_first_of("0123456789", 2) != std::string::npos)
        for (const char *code : eu_codes)
            if (starts_with(key, code)) return key.substr(2);
    return key;
}

std::string query_safe(std::string_view text) {
    std::string safe;
    for (char c : text) {
        if (c == '&')
            safe += "%26";
        else if (c == '#')
            safe += "%23";
        else
            safe += c;
    }
    return safe;
}

}  // namespace text
