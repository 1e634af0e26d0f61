// The client's start-up probe and its report: what went wrong, for the record (in English) and
// for the user, and whether it may pass by itself.
#include "crmapi.hpp"
#include "answers.hpp"
#include "failure.hpp"
#include "transport.hpp"
#include "v2.hpp"

#include <string>

namespace {

// Whether a refused connection lies somewhere under a request library error (it wraps the
// socket error a few levels down).
bool refused_below(const py::handle &error) {
    py::object refused = pymod("builtins").attr("ConnectionRefusedError");
    for (const py::object &cause : causes_of(error))
        if (py::isinstance(cause, refused)) return true;
    return false;
}

// The deepest cause of an error: the socket or name-resolution message behind the wrappers.
py::object innermost(const py::handle &error) { return causes_of(error).back(); }

std::string requested_url(const py::object &error, const py::object &fallback) {
    py::object url = failed_address(error);
    return py::str(url.is_none() ? fallback : url);
}

bool key_refused(int status, const py::object &decoded) {
    if (status == 401 || status == 403) return true;
    if (status != 400 || !py::isinstance<py::dict>(decoded)) return false;
    py::object info = decoded.attr("get")("info");
    return py::isinstance<py::str>(info) && py::str(info).cast<std::string>() == "Invalid key";
}

// What a completed probe tells: nothing when the service listed the contacts, else its status
// and the service's own words.
std::string answer_note(int status, const py::object &decoded) {
    if (status == 200) return "";
    if (status == 401 || status == 403) return std::to_string(status) + ": the API key was refused";
    if (py::isinstance<py::dict>(decoded)) {
        py::object info = decoded.attr("get")("info");
        if (py::isinstance<py::str>(info) && py::len(info) > 0)
            return std::to_string(status) + ": " + std::string(py::str(info));
    }
    return std::to_string(status) + ": unexpected answer";
}

// The note for an answer that is not JSON: its status and what it is, with the service's words
// when it speaks plain text (a blocked account).
std::string unreadable_note(const py::object &response) {
    std::string note = std::to_string(status_of(response)) + ": the answer is not JSON";
    py::str type = response.attr("headers").attr("get")("Content-Type", "");
    if (py::bool_(type.attr("startswith")("text/plain"))) {
        py::str text = response.attr("text").attr("strip")();
        return note + ": " + std::string(py::str(text[py::slice(0, 160, 1)]));
    }
    std::string shown = type;
    return shown.empty() ? note : note + " (" + shown + ")";
}

std::string seconds_text(double seconds) { return py::str("{:g}").format(seconds); }

std::string failure_note(const py::error_already_set &e, const py::object &url) {
    py::object error = e.value();
    py::object exceptions = pymod("requests").attr("exceptions");
    std::string where = requested_url(error, url);
    if (e.matches(exceptions.attr("ConnectTimeout")))
        return "time-out: no connection to " + where + " within " + seconds_text(transport::connect_seconds()) + " s";
    if (e.matches(exceptions.attr("Timeout")))
        return "time-out: no answer from " + where + " within " + seconds_text(transport::exchange_seconds()) + " s";
    if (e.matches(exceptions.attr("SSLError")))
        return "certificate not valid: " + where + " (" + std::string(py::str(innermost(error))) + ")";
    if (e.matches(exceptions.attr("ConnectionError"))) {
        if (refused_below(error)) return "connection refused: " + where;
        return "connection failed: " + where + " (" + std::string(py::str(innermost(error))) + ")";
    }
    return std::string(py::str(py::type::of(error).attr("__name__"))) + ": " + std::string(py::str(error));
}

// The user's words for a refused key: which kind of key it was and where Holded makes one.
py::str refused_key_text(const py::object &self) {
    if (speaks_v2(self))
        return tr(
            "Holded ha rechazado el token de la API v2 (pat_...). Cree uno nuevo en Holded: Configuración > "
            "Desarrolladores, y péguelo en Configurar.");
    return tr(
        "Holded ha rechazado la clave de la API v1. Cree una en Holded: Configuración > Desarrolladores, en "
        "el aviso de las claves API v1, o use un token de la API v2 (pat_...), y péguela en Configurar.");
}

// What the probe found: the note for the record (empty: the contacts were listed), the same for
// the user, a refused key, and whether the failure may pass by itself.
struct ProbeReport {
    std::string note;
    py::object shown = py::str("");
    bool refused = false;
    bool transient = false;
};

// The report of an answer: a list of contacts, a refused key, a refusal or an unreadable answer.
ProbeReport answer_report(const py::object &self, const py::object &response) {
    ProbeReport report;
    py::object decoded = py::none();
    try {
        decoded = decode(response);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError) && !e.matches(PyExc_RuntimeError)) throw;
        report.note = unreadable_note(response);
    }
    int status = status_of(response);
    if (report.note.empty()) {
        if (speaks_v2(self) && status != 200) decoded = v2::to_v1_error(status, decoded);
        report.note = answer_note(status, decoded);
        report.refused = key_refused(status, decoded);
    }
    report.transient = !report.note.empty() && (status >= 500 || status == 429);
    if (report.refused)
        report.shown = refused_key_text(self);
    else if (!report.note.empty())
        report.shown = py::str(tr("Holded ha respondido: ")) + py::str(report.note);
    return report;
}

// The report of a request that failed: no network, a time-out, a certificate, the service's words.
ProbeReport failure_report(const py::error_already_set &e, const py::object &url) {
    ProbeReport report;
    py::object exceptions = pymod("requests").attr("exceptions");
    report.transient = e.matches(exceptions.attr("ConnectionError")) || e.matches(exceptions.attr("Timeout")) ||
                       e.matches(PyExc_RuntimeError);
    report.note = failure_note(e, url);
    report.shown = failure_text(e.value());
    return report;
}

}  // namespace

// Lists the contacts once. Only a list of contacts counts as success: an exception, or an answer
// with another status (a refused key answers JSON too), leaves estado False so that start-up asks
// for a better key. lasterror says why (in English, for the record), motivo the same for the
// user; clave_rechazada tells a refused key, and sin_conexion a failure that may pass by itself
// (no network, a time-out, a certificate the PC cannot check, the service down or limiting
// requests) from one that needs the user. Returns estado.
bool probe(py::object self) {
    py::object url = py::str(self.attr("base_url"));
    ProbeReport report;
    try {
        url = endpoint(self, py::str("contacts"));
        // v2 lists with a limit; one contact is enough to know the token works.
        py::object address = speaks_v2(self) ? url + py::str("?limit=1") : url;
        report = answer_report(self, send(self, "get", address));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        report = failure_report(e, url);
    }
    self.attr("estado") = report.note.empty();
    self.attr("lasterror") = report.note;
    self.attr("motivo") = report.shown;
    self.attr("clave_rechazada") = report.refused;
    self.attr("sin_conexion") = report.transient;
    return report.note.empty();
}
