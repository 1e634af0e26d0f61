// The contacts found for one call, as the user sees them: their pages in the web app and the
// notice that names them.
#pragma once
#include "py.hpp"

#include <cstddef>

// Most pages opened for one call: a switchboard number shared by hundreds of contacts must not
// open hundreds of tabs. The notice names the rest.
inline constexpr std::size_t MAX_PAGES_PER_CALL = 5;

// Opens the web-app page of each contact that has an id, in the order given, at most
// MAX_PAGES_PER_CALL of them.
void open_contact_pages(const py::handle &contacts);

// The names of the contacts with an id (records without a name count, unnamed), for a notice:
// the first MAX_PAGES_PER_CALL and "y N más" for the rest; empty when no contact has a name.
py::str contact_names(const py::handle &contacts);

// The text of the notice of a call whose caller is known: "Telefono <number>" and the names.
py::str caller_notice(const py::handle &number, const py::handle &contacts);
