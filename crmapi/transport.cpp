// The exchanges with Holded, through the deadline-bounded exchanges every service shares: a
// redirect that leaves Holded is never followed (the key must never leave it), and a rate limit
// is waited out once.
#include "transport.hpp"

#include "exchange.hpp"
#include "failure.hpp"
#include "settings_file.hpp"

#include <algorithm>
#include <cmath>
#include <string>
#include <thread>

namespace transport {
namespace {

// Longest wait for Holded's rate limit: the user is looking at a frozen window; a background
// job may wait a minute.
constexpr double USER_RATE_WAIT_SECONDS = 2;
constexpr double BACKGROUND_RATE_WAIT_SECONDS = 60;

double seconds_of(const py::handle &value) { return value.cast<double>(); }

// One exchange until `deadline`; a redirect the exchange did not follow (another host, or too
// many) is refused in words.
py::object await_answer(const Request &request, Clock::time_point deadline) {
    exchange::Call call{request.method, request.url, request.headers, request.payload, connect_seconds(), deadline, 0};
    py::object response = exchange::run(call);
    if (exchange::is_redirect(response))
        raise_user_error(std::string(tr("Holded ha desviado la petición a otro servidor y no se ha seguido: ")) +
                         std::string(py::str(exchange::redirect_target(response))));
    return response;
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

Clock::time_point lookup_deadline() { return seconds_from_now(seconds_of(pymod("crmapi").attr("LOOKUP_TIMEOUT"))); }

namespace {

// A key that cannot travel in a header would fail inside the HTTP library with an error that
// quotes it (or with a bare encoding error): refused here in words, without the key.
void require_sendable_key(const py::object &headers) {
    for (const char *name : {"key", "Authorization"}) {
        py::object value = headers.attr("get")(name);
        if (!value.is_none() && !key_is_sendable(value))
            raise_user_error(
                tr("La clave del API tiene caracteres que una clave de Holded no tiene: cópiela de nuevo "
                   "en Configurar."));
    }
}

}  // namespace

py::object exchange(const Request &request) {
    require_sendable_key(request.headers);
    // The exchange may take the client's time for one exchange, and no more than the caller's
    // deadline leaves.
    Clock::time_point deadline = seconds_from_now(exchange_seconds());
    if (request.deadline) deadline = std::min(deadline, *request.deadline);
    py::object response = await_answer(request, deadline);
    if (py::int_(response.attr("status_code")).cast<int>() != 429) return response;

    // Holded limits requests: wait what it asks, within what this caller can wait, once.
    double cap = request.waiting == Waiting::user ? USER_RATE_WAIT_SECONDS : BACKGROUND_RATE_WAIT_SECONDS;
    double wait = std::min(retry_after(response), cap);
    if (request.waiting == Waiting::background)
        deadline = std::max(deadline, seconds_from_now(wait + exchange_seconds()));
    if (wait < seconds_until(deadline)) {
        py::gil_scoped_release released;
        std::this_thread::sleep_for(std::chrono::duration<double>(wait));
    }
    if (seconds_until(deadline) > 0) response = await_answer(request, deadline);
    if (py::int_(response.attr("status_code")).cast<int>() == 429)
        raise_user_error(tr("Holded está limitando las peticiones; inténtelo de nuevo en un minuto"));
    return response;
}

}  // namespace transport
