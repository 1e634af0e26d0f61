// Text logic that needs no interpreter: plain C++ on UTF-8 std::string, tested directly
// (tests/cpp/test_text.cpp). Only what is pure lives here; text that follows Python's own
// rules (Unicode case, code-point slicing of arbitrary text, \d) stays with Python's str and re.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

bool starts_with(std::string_view text, std::string_view prefix);
bool ends_with(std::string_view text, std::string_view suffix);

// The number of code points of a UTF-8 text (what Python's len() gives).
std::size_t code_points(std::string_view utf8);

// The text without any of the characters in `removed`.
std::string without(std::string_view text, std::string_view removed);

// The ASCII digits of the text, in order.
std::string ascii_digits(std::string_view text);

// A number in the international digits a chat address wants: a "+" or "00" number (longer
// than nine characters) keeps its own country code, a national one (nine characters or fewer,
// blanks aside) gets `home_prefix`.
std::string international_digits(std::string_view number, std::string_view home_prefix);

// A tax id as it is compared: upper case (ASCII), without blanks, tabs, dots, dashes or slashes,
// and without the two-letter country code of the EU VAT form ("ES B-12345678" is "B12345678").
std::string tax_id_key(std::string_view text);

// A text as one query value of an address whose other characters are left as typed: "&" (the
// start of another parameter) and "#" (the start of a fragment) percent-encoded.
std::string query_safe(std::string_view text);

}  // namespace text
