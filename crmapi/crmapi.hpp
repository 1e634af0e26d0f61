#pragma once
#include "py.hpp"

#include <string>

// The REST client of the CRM, its own reader of the API key and the resource table.
void register_client(py::module_ &m);

// Lists the contacts once, as at start-up, and records in the client how that went (crmapi.probar).
bool probe(py::object self);

// The key reader's constructor (crmapi.conf): reads config.ini's api section into cvariables.
void construct_reader(py::object self);
extern const char *const READER_DOC;
// The contact index: every contact's numbers, e-mail and tax id, read once and kept.
void register_index(py::module_ &m);

// Logs a call in Holded as a CRM event of kind "call" linked to a contact (crmapi.Evento).
py::object log_call(py::object self, py::object contacto, py::object nombre, py::object inicio, py::object descripcion);
extern const char *const LOG_CALL_DOC;

// The resource table: resource key -> [relative path of its endpoint, template of its record].
// Built afresh on every call, so a caller may change what it gets without touching anyone else's.
py::dict resource_table();

// Where a listing of all the contacts has got to: v1 numbers its pages, v2 hands out a cursor.
struct PageCursor {
    int number = 1;
    std::string token;
};

// One page of the contact list, in v1's record shape (through v2, only the fields the index reads). `more` is false
// once there is no next page to ask for; `last` tells that the service said so itself (v2); `sized` tells that the
// service pages by a fixed size (v1), so that a page shorter than the others is the last one.
struct ContactPage {
    py::list records;
    bool more = false;
    bool last = false;
    bool sized = false;
    PageCursor next;
};

// Reads one page of the contact list through the client, as a background job (it may wait out
// Holded's rate limit). Raises when the service does not answer with a list (in v2's envelope).
ContactPage contact_page(const py::object &client, const PageCursor &at);

// The canonical (E.164) form of a telephone number written in any of the usual ways, taking
// national numbers as numbers of `region`; empty when the text is no possible number (a short
// number, a withheld caller, junk). An extension is not part of the number.
std::string canonical_number(const py::handle &text, const std::string &region);
