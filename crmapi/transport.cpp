// The exchanges with Holded. requests bounds each read of the socket, not the whole answer: an
// answer that trickles in byte by byte would hold the GUI for as long as the server likes. So
// each exchange runs on a worker thread and the caller waits for it until its deadline; the
// worker itself gives up on the body once the deadline has passed.
#include "transport.hpp"

#include "failure.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <thread>

namespace transport {
namespace {

// Worker threads kept for exchanges. More than one is needed only when an exchange is still
// stuck on a server that never finishes while the next one starts.
constexpr int MAX_WORKERS = 16;
// Same-origin redirects followed before giving up.
constexpr int MAX_REDIRECTS = 3;
// Longest wait for Holded's rate limit: the user is looking at a frozen window; a background
// job may wait a minute.
constexpr double USER_RATE_WAIT_SECONDS = 2;
constexpr double BACKGROUND_RATE_WAIT_SECONDS = 60;
// What the worker may take beyond the caller's deadline before the caller stops waiting: the
// worker's own time-out then wins and tells what happened.
constexpr double WAIT_GRACE_SECONDS = 0.25;

double seconds_of(const py::handle &value) { return value.cast<double>(); }

// The worker threads share one queue of jobs; `idle` counts the workers waiting for one. Both
// are only touched with the GIL held.
struct Pool {
    py::object jobs;
    int idle = 0;
    int workers = 0;
};

Pool &pool() {
    PYBIND11_CONSTINIT static py::gil_safe_call_once_and_store<Pool> storage;
    return storage
        .call_once_and_store_result([] {
            Pool made;
            made.jobs = pymod("queue").attr("SimpleQueue")();
            return made;
        })
        .get_stored();
}

py::object perform(std::string method, py::object url, py::object headers, py::object payload, double deadline);

// A worker: takes jobs (method, url, headers, payload, deadline, reply queue) one after another.
void work() {
    Pool &shared = pool();
    while (true) {
        py::tuple job = shared.jobs.attr("get")();  // waits without the GIL
        py::object reply = job[5];
        try {
            py::object answer = perform(job[0].cast<std::string>(), job[1], job[2], job[3], job[4].cast<double>());
            reply.attr("put")(py::make_tuple(true, answer));
        } catch (py::error_already_set &e) {
            reply.attr("put")(py::make_tuple(false, e.value()));
        }
        ++shared.idle;
    }
}

// Runs the exchange on a worker; the queue its outcome arrives on: (True, response) or (False,
// error).
py::object submit(const Request &request, double deadline) {
    Pool &shared = pool();
    if (shared.idle > 0) {
        --shared.idle;
    } else if (shared.workers < MAX_WORKERS) {
        ++shared.workers;
        // Daemon threads: one stuck on a server that never answers must not keep the
        // application from ending.
        pymod("threading")
            .attr("Thread")("target"_a = py::cpp_function(&work), "name"_a = "holded-exchange", "daemon"_a = true)
            .attr("start")();
    }
    py::object reply = pymod("queue").attr("SimpleQueue")();
    shared.jobs.attr("put")(
        py::make_tuple(request.method, request.url, request.headers, request.payload, deadline, reply));
    return reply;
}

double now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

std::string origin(const py::object &url) {
    py::object parts = pymod("urllib.parse").attr("urlsplit")(url);
    std::string scheme = py::str(parts.attr("scheme")).attr("lower")().cast<std::string>();
    std::string host = py::str(parts.attr("hostname")).cast<std::string>();
    py::object port = parts.attr("port");
    std::string shown_port = port.is_none() ? (scheme == "https" ? "443" : "80") : std::string(py::str(port));
    return scheme + "://" + host + ":" + shown_port;
}

py::object timeout_error(const char *kind, const std::string &text, const py::object &url, const char *method) {
    py::object request = pymod("requests").attr("Request")(py::str(method).attr("upper")(), url);
    return pymod("requests").attr("exceptions").attr(kind)(text, "request"_a = request);
}

// One exchange, on the worker: the request without following redirects across hosts (the key
// must never leave Holded), and the body read while the deadline allows.
py::object perform(std::string method, py::object url, py::object headers, py::object payload, double deadline) {
    py::object requests = pymod("requests");
    for (int hop = 0;; ++hop) {
        double remaining = std::max(0.001, deadline - now());
        py::dict options("headers"_a = headers, "allow_redirects"_a = false, "stream"_a = true,
                         "timeout"_a = py::make_tuple(std::min(connect_seconds(), remaining), remaining));
        if (!payload.is_none()) options["json"] = payload;
        py::object response = requests.attr(method.c_str())(url, **options);
        int status = py::int_(response.attr("status_code")).cast<int>();
        py::object location = response.attr("headers").attr("get")("Location");
        bool redirect = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
        if (redirect && !location.is_none()) {
            response.attr("close")();
            py::object target = pymod("urllib.parse").attr("urljoin")(url, location);
            if (origin(target) != origin(url) || hop >= MAX_REDIRECTS)
                raise_user_error(
                    std::string(tr("Holded ha desviado la petición a otro servidor y no se ha seguido: ")) +
                    std::string(py::str(target)));
            // As browsers do: a 303, or a 301/302 of a write, continues as a plain GET.
            if (status == 303 || ((status == 301 || status == 302) && method != "get")) {
                method = "get";
                payload = py::none();
            }
            url = target;
            continue;
        }
        py::list chunks;
        for (py::handle chunk : response.attr("iter_content")(65536)) {
            chunks.append(chunk);
            if (now() > deadline) {
                response.attr("close")();
                raise_error(timeout_error("ReadTimeout", "the answer did not arrive in time", url, method.c_str()));
            }
        }
        // The body is whole now; `text`, `content` and `json()` read it from here.
        response.attr("_content") = py::bytes("").attr("join")(chunks);
        response.attr("_content_consumed") = true;
        return response;
    }
}

// Waits for the exchange until the deadline (plus a little, so that a worker that gives up on
// its own says why); raises a time-out when it is still going.
py::object await_answer(const Request &request, double deadline) {
    py::object reply = submit(request, deadline);
    double wait = std::max(0.0, deadline - now()) + WAIT_GRACE_SECONDS;
    py::tuple outcome;
    try {
        outcome = reply.attr("get")("timeout"_a = wait);
    } catch (py::error_already_set &e) {
        if (!e.matches(pymod("queue").attr("Empty"))) throw;
        raise_error(timeout_error("ReadTimeout", "no answer within the time allowed", request.url, request.method));
    }
    if (!outcome[0].cast<bool>()) raise_error(outcome[1]);
    return outcome[1];
}

// Seconds Holded asks us to wait before trying again; its header is seconds or an HTTP date.
double retry_after(const py::object &response) {
    py::object value = response.attr("headers").attr("get")("Retry-After");
    if (value.is_none()) return USER_RATE_WAIT_SECONDS;
    std::string text = py::str(value).attr("strip")().cast<std::string>();
    try {
        return std::max(0.0, std::stod(text));
    } catch (const std::exception &) {}
    try {
        py::object when = pymod("email.utils").attr("parsedate_to_datetime")(value);
        return std::max(0.0, seconds_of(when.attr("timestamp")()) - seconds_of(pymod("time").attr("time")()));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
    }
    return USER_RATE_WAIT_SECONDS;
}

}  // namespace

double connect_seconds() {
    py::object value = pymod("crmapi").attr("TIMEOUT");
    return seconds_of(py::isinstance<py::tuple>(value) ? py::object(value[py::int_(0)]) : value);
}

double exchange_seconds() {
    py::object value = pymod("crmapi").attr("TIMEOUT");
    return seconds_of(py::isinstance<py::tuple>(value) ? py::object(value[py::int_(1)]) : value);
}

Clock::time_point lookup_deadline() {
    double seconds = seconds_of(pymod("crmapi").attr("LOOKUP_TIMEOUT"));
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

py::object exchange(const Request &request) {
    // The exchange may take the client's time for one exchange, and no more than the caller's
    // deadline leaves.
    double deadline = now() + exchange_seconds();
    if (request.deadline) {
        double left = std::chrono::duration<double>(*request.deadline - Clock::now()).count();
        deadline = std::min(deadline, now() + left);
    }
    py::object response = await_answer(request, deadline);
    if (py::int_(response.attr("status_code")).cast<int>() != 429) return response;

    // Holded limits requests: wait what it asks, within what this caller can wait, once.
    double cap = request.waiting == Waiting::user ? USER_RATE_WAIT_SECONDS : BACKGROUND_RATE_WAIT_SECONDS;
    double wait = std::min(retry_after(response), cap);
    if (request.waiting == Waiting::background) deadline = std::max(deadline, now() + wait + exchange_seconds());
    if (now() + wait < deadline) {
        py::gil_scoped_release released;
        std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
    if (now() < deadline) response = await_answer(request, deadline);
    if (py::int_(response.attr("status_code")).cast<int>() == 429)
        raise_user_error(tr("Holded está limitando las peticiones; inténtelo de nuevo en un minuto"));
    return response;
}

}  // namespace transport
