// What the client's files share: its version and addresses, one exchange with Holded, and the
// reading of Holded's answers (the verbs, the probe and the call events read them alike).
#pragma once
#include "clock.hpp"
#include "py.hpp"

#include <optional>
#include <string>

// Whether the client speaks API v2 (a "pat_" token).
bool speaks_v2(const py::object &self);

// An answer's HTTP status.
int status_of(const py::object &response);

// The resource table's entry for `cual`: [v1 path, record template].
py::object table_entry(const py::object &self, const py::object &cual);

// The address of a resource: v1's path from the resource table, v2's named after the resource.
py::object endpoint(const py::object &self, const py::object &cual);

// One exchange of the client, the user waiting for it; `deadline` none: the client's time-out.
py::object send(const py::object &self, const char *method, const py::object &url,
                const py::object &payload = py::none(), std::optional<Clock::time_point> deadline = std::nullopt);

// The body as JSON. A refusal in plain text (a blocked account) is Holded speaking to the user:
// its words become the error; any other body that is not JSON raises the decoder's error.
py::object decode(const py::object &response);

// An answer's JSON body; None when it is not JSON.
py::object json_body(const py::object &response);

// The id a successful write names: a non-empty text, else None (the record may exist but its
// page is unknown). A body that is not JSON names none.
py::object written_id(const py::object &response);

// Words for a server error: its status and Holded's words when its JSON has any. An answer that
// is not JSON raises the decoder's error, as any unreadable answer does.
std::string server_failure(const py::object &response);

// What a write (a create, an update, an event) came to: the id a 2xx answer names; v1's refusal
// ({"status": 0, ...}) in a 2xx body, else None when it names none (the record may exist); any
// other status's refusal in v1's shape. A 5xx raises RuntimeError: the record may or may not
// have been written, and the caller must find out before writing again.
py::object write_outcome(bool v2, const py::object &response);
