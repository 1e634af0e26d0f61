// Holded's API v2 (tokens that start with "pat_") spoken in the record shape of v1, which the
// rest of the application reads and writes: snake_case fields, items in a cursor envelope,
// errors as problem documents.
#pragma once
#include "py.hpp"

#include <string>
#include <vector>

namespace v2 {

// Whether a key is a v2 token.
bool is_token(const std::string &key);

// A contact as v2 reads it, in v1's field names.
py::object to_v1(const py::handle &record);

// Of a contact as v2 reads it, only what the contact index reads, in v1's field names (a whole
// translation of every contact of a book costs more than the rest of the index's work).
py::dict to_v1_brief(const py::handle &record);

// The body v2 takes to create a contact, from a v1-shaped record. Fields v2 cannot take at
// creation (contact persons) are left out; `lost` receives the v1 names of the data that v2
// cannot keep at all (the note).
py::dict create_body(const py::handle &record, std::vector<std::string> &lost);

// The body that writes a contact back whole (v2's PUT replaces it): the fields of a v2 read,
// its contact persons as links, with `changes` (v1-shaped) put over them.
py::dict replacement_body(const py::handle &read, const py::handle &changes);

// An error answer of v2 in v1's shape, {"status": code, "info": what Holded said}, so that the
// callers' reading of a refusal holds for both.
py::dict to_v1_error(int status, const py::handle &body);

}  // namespace v2
