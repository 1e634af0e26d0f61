// The outside services: their addresses, and what the modules share of Holded's ways.
#pragma once
#include "py.hpp"

#include <string>

// A service's base address, ending in "/": the environment variable `env` when set and not
// empty, else `fallback`. Read when used, so tests and the demo can point it elsewhere.
std::string service_url(const char *env, const char *fallback);

// The outside services: Holded's API root (HOLDED_API_URL), Holded's web app (HOLDED_APP_URL)
// and the company directory (DIRECTORY_URL), each a base ending in "/".
namespace services {
std::string holded_api();
std::string holded_app();
std::string directory();
}  // namespace services

// The page of a Holded record in the web app: its resource ("contacts") and id.
py::str holded_page(const char *resource, const py::handle &id);

// The contact index's age limit when its setting (indice_horas) holds no number, as a new
// settings file writes it.
inline constexpr const char *DEFAULT_INDEX_HOURS_TEXT = "8";

// The contact index's age limit in hours from its setting (indice_horas): the number it holds
// (a decimal comma as good as a point), the default when it holds none. Zero or less turns the index
// off.
double index_hours(const py::handle &setting);

// What Holded said in a refusal ({"status": 0, "info": "..."}): its words, else its status,
// else the answer itself, cut to a line.
std::string holded_words(const py::handle &answer);
