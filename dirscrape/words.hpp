// The search's word test, in plain C++: no interpreter needed.
#pragma once

#include <string>
#include <vector>

// Whether a result's name carries the search: as many of its words are search words as there
// are search words. Every occurrence counts, so "BAR EL BAR SL" carries "BAR LUNA". The words
// arrive upper-cased and split by Python (its str rules know "Ñ", "É" and every Unicode blank);
// equal texts are equal UTF-8 bytes, so comparing them here is exact.
bool carries_search(const std::vector<std::string> &name_words, const std::vector<std::string> &palabras);
