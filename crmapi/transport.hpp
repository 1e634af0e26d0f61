// How the client talks to Holded: each exchange with a deadline for the whole of it (common's
// exchange), never following Holded to another host, and honouring its rate limit once.
#pragma once
#include "py.hpp"

#include "exchange.hpp"

#include <optional>

namespace transport {

// Who waits for the answer: the user (the GUI is frozen meanwhile, so waits are short) or a
// background job such as the contact index (it may wait out Holded's rate limit).
enum class Waiting { user, background };

struct Request {
    const char *method;  // "get", "post" or "put"
    py::object url;      // the whole address, query included
    py::object headers;  // the client's headers
    py::object payload;  // the JSON body, or None
    Waiting waiting = Waiting::user;
    // The moment by which the caller must have its answer (a lookup of two requests shares one);
    // none: the client's time-out for one exchange.
    std::optional<Clock::time_point> deadline;
};

// The answer's status, headers and whole body (read within the deadline). Raises requests'
// exceptions for a failed connection or a deadline passed (ConnectTimeout, ReadTimeout), and a
// RuntimeError worded for the user when Holded redirects elsewhere or keeps limiting requests.
py::object exchange(const Request &request);

// The moment a lookup that starts now must be over: the client's lookup time-out from now.
Clock::time_point lookup_deadline();

// Parts of the module's TIMEOUT setting, in seconds: the connection, and one whole exchange.
double connect_seconds();
double exchange_seconds();

}  // namespace transport
