#include "failure.hpp"

#include <string>

namespace {

// Longest error description shown in a failure popup.
constexpr std::size_t FAILURE_TEXT_MAX = 160;

std::string text_of(const py::handle &value) {
    if (value.is_none() || !py::isinstance<py::str>(value)) return std::string();
    return value.cast<std::string>();
}

// The host (and port) of the address a failed request went to, when the exception knows it.
std::string request_host(const py::handle &error) {
    py::object url = failed_address(error);
    if (url.is_none()) return std::string();
    return text_of(pymod("urllib.parse").attr("urlsplit")(url).attr("netloc"));
}

// Why a certificate was not accepted, in the TLS library's words ("self-signed certificate",
// "certificate has expired"), found under the wrappers of the request library.
std::string certificate_problem(const py::handle &error) {
    py::object unverified = pymod("ssl").attr("SSLCertVerificationError");
    for (const py::object &cause : causes_of(error))
        if (py::isinstance(cause, unverified)) return text_of(cause.attr("verify_message"));
    return std::string();
}

}  // namespace

py::object cause_of(const py::handle &error) {
    py::object next = error.attr("__cause__");
    if (next.is_none()) next = error.attr("__context__");
    if (next.is_none()) next = py::getattr(error, "reason", py::none());
    if (next.is_none() && py::len(error.attr("args")) > 0) next = error.attr("args")[py::int_(0)];
    return py::isinstance(next, pymod("builtins").attr("BaseException")) ? next : py::none();
}

std::vector<py::object> causes_of(const py::handle &error) {
    constexpr std::size_t DEEPEST = 12;
    std::vector<py::object> chain;
    py::object next = py::reinterpret_borrow<py::object>(error);
    while (!next.is_none() && chain.size() < DEEPEST) {
        chain.push_back(next);
        next = cause_of(next);
    }
    return chain;
}

py::object failed_address(const py::handle &error) {
    py::object request = py::getattr(error, "request", py::none());
    if (request.is_none()) return py::none();
    return py::getattr(request, "url", py::none());
}

py::str failure_text(const py::handle &error) {
    if (py::isinstance<py::str>(error)) return py::str(error);
    py::object requests_errors = py::none();
    try {
        requests_errors = pymod("requests.exceptions");
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ImportError)) throw;
    }
    if (!requests_errors.is_none()) {
        std::string host = request_host(error);
        // A proxy or antivirus that intercepts TLS, or a wrong clock on the PC.
        if (py::isinstance(error, requests_errors.attr("SSLError"))) {
            std::string problem = certificate_problem(error);
            std::string line = std::string(tr("certificado no válido: ")) + (host.empty() ? "" : host);
            return py::str(problem.empty() ? line : line + " (" + problem + ")");
        }
        if (py::isinstance(error, requests_errors.attr("Timeout")))
            return host.empty() ? tr("El servicio no responde a tiempo")
                                : py::str(tr("Sin respuesta a tiempo de ") + py::str(host));
        if (py::isinstance(error, requests_errors.attr("ConnectionError")))
            return host.empty() ? tr("No se puede conectar con el servicio")
                                : py::str(tr("No se puede conectar con ") + py::str(host));
    }
    if (py::isinstance(error, pymod("json").attr("JSONDecodeError")))
        return tr("El servicio ha respondido algo que no se puede leer");
    // The application's own failures are RuntimeErrors already worded for the user.
    bool own_words = py::type::of(error).is(py::reinterpret_borrow<py::object>(PyExc_RuntimeError));

    std::string kind = text_of(py::type::of(error).attr("__name__"));
    std::string detail;
    py::list lines = py::str(error).attr("strip")().attr("splitlines")();
    if (py::len(lines) > 0) detail = text_of(lines[0]);
    py::str shown(own_words && !detail.empty() ? detail : detail.empty() ? kind : kind + ": " + detail);
    if (py::len(shown) > FAILURE_TEXT_MAX)
        shown = py::str(py::str(shown[py::slice(0, FAILURE_TEXT_MAX - 3, 1)]) + py::str("..."));
    return shown;
}

void raise_error(const py::handle &error) {
    py::set_error(py::type::of(error), error);
    throw py::error_already_set();
}

void raise_user_error(const std::string &text) {
    py::set_error(PyExc_RuntimeError, py::str(text));
    throw py::error_already_set();
}
