#include "words.hpp"

#include <algorithm>
#include <cstddef>

bool carries_search(const std::vector<std::string> &name_words, const std::vector<std::string> &palabras) {
    std::size_t debecumplir = palabras.size();
    auto is_search_word = [&](const std::string &word) {
        return std::find(palabras.begin(), palabras.end(), word) != palabras.end();
    };
    auto cumple = std::count_if(name_words.begin(), name_words.end(), is_search_word);
    return static_cast<std::size_t>(cumple) >= debecumplir;
}
