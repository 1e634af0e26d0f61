// HTTP exchanges with a deadline for the whole of them. requests bounds each read of the socket,
// not the answer: a server that trickles its answer byte by byte would hold the caller for as
// long as it likes. So each exchange runs on a worker thread; the caller waits for it until its
// deadline and then cuts its connection, and the worker reads the body in small reads whose
// socket time-out is the time left.
#pragma once
#include "clock.hpp"
#include "py.hpp"

#include <cstddef>

namespace exchange {

struct Call {
    const char *method;  // "get", "post" or "put"
    py::object url;      // the whole address, query included
    py::object headers;
    py::object payload;  // the JSON body, or None
    double connect_seconds;
    Clock::time_point deadline;  // for everything: connection, redirects and body
    std::size_t max_bytes = 0;   // a longer body is refused; 0: any length
};

// Makes the exchange and returns requests' Response with its whole body read (`content`, `text`
// and `json()` read it from memory). A redirect to the same origin (scheme, host and port) is
// followed, three times at most; any other redirect comes back as it is, not followed and with
// its body unread. Raises requests' exceptions: ConnectTimeout or ReadTimeout once the deadline
// has passed, ConnectionError, SSLError..., and RequestException for a body over max_bytes.
// Thread-safe: callers on any thread, the GIL held.
py::object run(const Call &call);

// Whether an answer sends the client elsewhere (a 3xx status with a Location).
bool is_redirect(const py::object &response);

// Where a redirect sends the client: its Location, resolved against the address asked.
py::object redirect_target(const py::object &response);

}  // namespace exchange
