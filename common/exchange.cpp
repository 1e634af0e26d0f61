#include "exchange.hpp"

#include "failure.hpp"

#include <algorithm>
#include <memory>
#include <string>

namespace exchange {
namespace {

// Worker threads kept busy at once. A worker whose caller gave up on it (its server kept it past
// the deadline) no longer counts: a fresh one is started beside it, so that no server can use up
// the pool, and the pool shrinks back once the held ones are let go.
constexpr int MAX_WORKERS = 16;
// Same-origin redirects followed before giving up.
constexpr int MAX_REDIRECTS = 3;
// What the worker may take beyond the caller's deadline before the caller stops waiting: the
// worker's own time-out then wins and tells what happened.
constexpr double WAIT_GRACE_SECONDS = 0.25;
// Bytes asked for in one read of the body: one read of the socket each, whatever arrives.
constexpr int READ_BYTES = 16384;
// The shortest socket time-out set (zero would make the socket non-blocking).
constexpr double SHORTEST_SECONDS = 0.001;

double now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

double seconds_of(Clock::time_point moment) { return std::chrono::duration<double>(moment.time_since_epoch()).count(); }

// One exchange handed to a worker; touched only with the GIL held.
struct Job {
    std::string method;
    py::object url, headers, payload;
    double connect_seconds = 0, deadline = 0;  // deadline: steady seconds, as now()
    std::size_t max_bytes = 0;
    py::object reply = pymod("queue").attr("SimpleQueue")();  // (True, response) or (False, error)
    py::list connections;                                     // every connection the exchange opened
    bool done = false;                                        // the worker has put its outcome
    bool abandoned = false;                                   // the caller stopped waiting
};

// The workers share one queue of jobs; idle counts the workers waiting for one, overdue those
// still busy with a job whose caller gave up. Only touched with the GIL held.
struct Pool {
    py::object jobs;
    int idle = 0;
    int workers = 0;
    int overdue = 0;
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

// One of requests' exceptions, for the job's request.
py::object request_error(const char *kind, const py::object &message, const Job &job) {
    py::object request = pymod("requests").attr("Request")(py::str(job.method).attr("upper")(), job.url);
    return pymod("requests").attr("exceptions").attr(kind)(message, "request"_a = request);
}

// The seconds left to the job; at its deadline, or once its caller has gone, the answer (if
// any) is closed and the exchange ends in a time-out.
double time_left(const Job &job, const py::object &response = py::none()) {
    double left = job.deadline - now();
    if (left > 0 && !job.abandoned) return left;
    if (!response.is_none()) response.attr("close")();
    raise_error(request_error("ReadTimeout", py::str("the answer did not arrive in time"), job));
}

std::string origin(const py::object &url) {
    py::object parts = pymod("urllib.parse").attr("urlsplit")(url);
    std::string scheme = py::str(parts.attr("scheme")).attr("lower")().cast<std::string>();
    std::string host = py::str(parts.attr("hostname")).cast<std::string>();
    py::object port = parts.attr("port");
    std::string shown_port = port.is_none() ? (scheme == "https" ? "443" : "80") : std::string(py::str(port));
    return scheme + "://" + host + ":" + shown_port;
}

// --- the worker's side -------------------------------------------------------------------------

// A session whose connections are recorded in the job, so that the caller can cut them at the
// deadline: every connection pool the session hands out makes its connections through here.
py::object recording_session(const Job &job) {
    py::object session = pymod("requests").attr("Session")();
    py::list connections = job.connections;
    auto record = [connections](py::object made_by) {
        return py::cpp_function([made_by, connections](py::kwargs options) mutable {
            py::object connection = made_by(**options);
            connections.append(connection);
            return connection;
        });
    };
    for (py::handle adapter : session.attr("adapters").attr("values")()) {
        py::object plain = py::type::of(adapter).attr("get_connection_with_tls_context");
        py::cpp_function hooked([plain, record](py::object self, py::args args, py::kwargs options) {
            py::object connections_pool = plain(self, *args, **options);
            connections_pool.attr("ConnectionCls") = record(py::type::of(connections_pool).attr("ConnectionCls"));
            return connections_pool;
        });
        // Bound through MethodType: the adapter and its method form a cycle the collector sees.
        adapter.attr("get_connection_with_tls_context") = pymod("types").attr("MethodType")(hooked, adapter);
    }
    return session;
}

// Maps the errors of reading a body to the ones requests itself raises while reading; false
// for any other error.
bool reraise_as_requests(py::error_already_set &e, const Job &job) {
    py::object low = pymod("urllib3.exceptions");
    const char *kind = e.matches(low.attr("ReadTimeoutError")) ? "ReadTimeout"
                       : e.matches(low.attr("SSLError"))       ? "SSLError"
                       : e.matches(low.attr("ProtocolError"))  ? "ChunkedEncodingError"
                       : e.matches(low.attr("DecodeError"))    ? "ContentDecodingError"
                       : e.matches(PyExc_OSError)              ? "ConnectionError"
                                                               : nullptr;
    if (kind == nullptr) return false;
    py::object error = request_error(kind, e.value(), job);
    error.attr("__cause__") = e.value();
    raise_error(error);
}

[[noreturn]] void refuse_length(const Job &job, const py::object &response) {
    response.attr("close")();
    std::string text = "the answer is longer than " + std::to_string(job.max_bytes) + " bytes";
    raise_error(request_error("RequestException", py::str(text), job));
}

// One read of the body, bounded by the time left: the socket's own time-out is that time.
py::bytes read_some(const Job &job, const py::object &response) {
    double left = time_left(job, response);
    py::object raw = response.attr("raw");
    py::object socket = py::getattr(raw.attr("connection"), "sock", py::none());
    if (!socket.is_none()) socket.attr("settimeout")(std::max(SHORTEST_SECONDS, left));
    try {
        py::object chunk = raw.attr("read1")(READ_BYTES, "decode_content"_a = true);
        return chunk.is_none() ? py::bytes("") : py::bytes(chunk);
    } catch (py::error_already_set &e) {
        if (!reraise_as_requests(e, job)) throw;
    }
    return py::bytes("");
}

// Reads the body into the response while the deadline allows; `content`, `text` and `json()`
// read it from there.
py::object read_body(const Job &job, py::object response) {
    py::object length = response.attr("headers").attr("get")("Content-Length");
    if (job.max_bytes > 0 && !length.is_none()) {
        std::string digits = py::str(length).attr("strip")().cast<std::string>();
        if (!digits.empty() && digits.find_first_not_of("0123456789") == std::string::npos &&
            (digits.size() > 15 || std::stoull(digits) > job.max_bytes))
            refuse_length(job, response);
    }
    py::list chunks;
    std::size_t total = 0;
    for (py::bytes chunk = read_some(job, response); py::len(chunk) > 0; chunk = read_some(job, response)) {
        total += py::len(chunk);
        if (job.max_bytes > 0 && total > job.max_bytes) refuse_length(job, response);
        chunks.append(chunk);
    }
    response.attr("_content") = py::bytes("").attr("join")(chunks);
    response.attr("_content_consumed") = true;
    return response;
}

// An answer handed back without its body: a redirect not followed.
py::object without_body(py::object response) {
    response.attr("close")();
    response.attr("_content") = py::bytes("");
    response.attr("_content_consumed") = true;
    return response;
}

py::object exchange_on(const py::object &session, const Job &job) {
    std::string method = job.method;
    py::object url = job.url, payload = job.payload;
    for (int hop = 0;; ++hop) {
        double left = time_left(job);
        py::dict options("headers"_a = job.headers, "allow_redirects"_a = false, "stream"_a = true,
                         "timeout"_a = py::make_tuple(std::min(job.connect_seconds, left), left));
        if (!payload.is_none()) options["json"] = payload;
        py::object response = session.attr("request")(py::str(method).attr("upper")(), url, **options);
        if (!is_redirect(response)) return read_body(job, response);
        py::object target = redirect_target(response);
        if (hop >= MAX_REDIRECTS || origin(target) != origin(url)) return without_body(response);
        response.attr("close")();
        // As browsers do: a 303, or a 301/302 of a write, continues as a plain GET.
        int status = py::int_(response.attr("status_code")).cast<int>();
        if (status == 303 || ((status == 301 || status == 302) && method != "get")) {
            method = "get";
            payload = py::none();
        }
        url = target;
    }
}

py::tuple attempt(const Job &job) {
    try {
        py::object session = recording_session(job);
        try {
            py::object response = exchange_on(session, job);
            session.attr("close")();
            return py::make_tuple(true, response);
        } catch (py::error_already_set &) {
            session.attr("close")();
            throw;
        }
    } catch (py::error_already_set &e) {
        return py::make_tuple(false, e.value());
    } catch (const std::exception &e) {
        return py::make_tuple(false, pymod("builtins").attr("RuntimeError")(e.what()));
    }
}

int waiting_jobs(const Pool &shared) { return shared.jobs.attr("qsize")().cast<int>(); }

// A worker: takes jobs one after another; one more than the pool keeps ends once it is free.
void work() {
    Pool &shared = pool();
    while (true) {
        ++shared.idle;
        py::object taken = shared.jobs.attr("get")();  // waits without the GIL
        --shared.idle;
        Job &job = *taken.cast<py::capsule>().get_pointer<Job>();
        py::tuple outcome = attempt(job);
        job.done = true;
        if (job.abandoned) --shared.overdue;
        job.reply.attr("put")(outcome);
        if (shared.workers > MAX_WORKERS && waiting_jobs(shared) == 0) {
            --shared.workers;
            return;
        }
    }
}

// --- the caller's side -------------------------------------------------------------------------

void submit(const py::capsule &job) {
    Pool &shared = pool();
    shared.jobs.attr("put")(job);
    if (waiting_jobs(shared) <= shared.idle) return;
    if (shared.workers - shared.overdue >= MAX_WORKERS) return;
    ++shared.workers;
    // Daemon threads: one stuck on a server that never answers must not keep the application
    // from ending.
    start_daemon(py::cpp_function(&work), "exchange");
}

// The caller stops waiting: the job's connections are cut, which ends the worker's reads at
// once, and its worker no longer counts against the pool.
void abandon(Job &job) {
    job.abandoned = true;
    ++pool().overdue;
    for (py::handle connection : job.connections) {
        py::object socket = py::getattr(connection, "sock", py::none());
        if (socket.is_none()) continue;
        try {
            socket.attr("shutdown")(pymod("socket").attr("SHUT_RDWR"));
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_OSError)) throw;  // already closed
        }
    }
}

}  // namespace

bool is_redirect(const py::object &response) {
    int status = py::int_(response.attr("status_code")).cast<int>();
    bool redirect = status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
    return redirect && !response.attr("headers").attr("get")("Location").is_none();
}

py::object redirect_target(const py::object &response) {
    return pymod("urllib.parse").attr("urljoin")(response.attr("url"), response.attr("headers")["Location"]);
}

py::object run(const Call &call) {
    auto made = std::make_unique<Job>();
    made->method = call.method;
    made->url = call.url;
    made->headers = call.headers;
    made->payload = call.payload;
    made->connect_seconds = call.connect_seconds;
    made->deadline = seconds_of(call.deadline);
    made->max_bytes = call.max_bytes;
    Job &job = *made;
    py::capsule held(made.release(), [](void *job_pointer) { delete static_cast<Job *>(job_pointer); });
    submit(held);
    double wait = std::max(0.0, job.deadline - now()) + WAIT_GRACE_SECONDS;
    py::object outcome;
    try {
        outcome = job.reply.attr("get")("timeout"_a = wait);
    } catch (py::error_already_set &e) {
        if (!e.matches(pymod("queue").attr("Empty"))) throw;
        if (!job.done) {
            abandon(job);
            raise_error(request_error("ReadTimeout", py::str("no answer within the time allowed"), job));
        }
        outcome = job.reply.attr("get")();
    }
    if (!outcome[py::int_(0)].cast<bool>()) raise_error(outcome[py::int_(1)]);
    return outcome[py::int_(1)];
}

}  // namespace exchange
