// A call logged in Holded: a CRM event of kind "call" linked to the contact. Holded keeps no call
// log of its own that the API reaches; an event is its documented place for "a call happened".
// The answer is read the way Nuevo reads a create's, so a caller handles both alike.
#include "crmapi.hpp"
#include "failure.hpp"
#include "transport.hpp"
#include "v2.hpp"

#include <string>

namespace {

// Where events are created: v1's CRM path under the API root; v2's client already speaks under "v2/".
const char *const V1_EVENTS = "crm/v1/events";
const char *const V2_EVENTS = "events";
const char *const CALL_KIND = "call";

bool speaks_v2(const py::object &self) { return py::int_(self.attr("version")).cast<int>() == 2; }

int status_of(const py::object &response) { return py::int_(response.attr("status_code")).cast<int>(); }

// The answer's JSON; None when it is not JSON.
py::object json_body(const py::object &response) {
    try {
        return pymod("json").attr("loads")(response.attr("text"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
}

// The body of a refusal or a server error as JSON. A refusal in plain text (a blocked account) is
// Holded speaking to the user: its words become the error; any other body that is not JSON raises
// the decoder's error, as it does for every other request of the client.
py::object decoded(const py::object &response) {
    try {
        return pymod("json").attr("loads")(response.attr("text"));
    } catch (py::error_already_set &e) {
        if (!e.matches(pymod("json").attr("JSONDecodeError"))) throw;
        py::str type = response.attr("headers").attr("get")("Content-Type", "");
        if (!py::bool_(type.attr("startswith")("text/plain"))) throw;
        py::str words = response.attr("text").attr("strip")();
        raise_user_error("Holded: " + std::string(py::str(words[py::slice(0, 160, 1)])));
    }
}

// A server error raises: the event may or may not exist, and the caller decides whether to try again.
[[noreturn]] void raise_server_failure(const py::object &response) {
    std::string text = "Holded: error " + std::to_string(status_of(response));
    py::object body = decoded(response);
    if (py::isinstance<py::dict>(body))
        for (const char *field : {"info", "detail", "title"}) {
            py::object words = body.attr("get")(field);
            if (py::isinstance<py::str>(words) && py::len(words) > 0) {
                text += ": " + std::string(py::str(words));
                break;
            }
        }
    raise_user_error(text);
}

// The new event's id, its refusal in v1's shape, or None: a success that names no event (it may exist).
py::object outcome(bool v2, const py::object &response) {
    int status = status_of(response);
    if (status >= 500) raise_server_failure(response);
    if (status < 200 || status >= 300)
        return v2 ? py::object(v2::to_v1_error(status, decoded(response))) : decoded(response);
    py::object body = json_body(response);
    if (!py::isinstance<py::dict>(body)) return py::none();
    py::object id = body.attr("get")("id");
    if (py::isinstance<py::str>(id) && py::len(id) > 0) return id;
    // v1 may refuse with a success status and {"status": 0, "info": ...}.
    return body.attr("get")("status").equal(py::int_(0)) ? body : py::object(py::none());
}

// The call's start in whole seconds since the epoch. Anything but a finite number raises before a
// request is made.
py::int_ whole_seconds(const py::object &inicio) {
    bool number =
        (py::isinstance<py::int_>(inicio) || py::isinstance<py::float_>(inicio)) && !py::isinstance<py::bool_>(inicio);
    if (!number) throw py::type_error("inicio: seconds since the epoch, a number");
    return pymod("math").attr("floor")(inicio);
}

// The same moment as ISO 8601 with the offset from UTC the PC keeps for that date (summer time included).
py::str local_time_text(const py::int_ &seconds) {
    py::object datetime = pymod("datetime");
    py::object moment = datetime.attr("datetime").attr("fromtimestamp")(seconds, datetime.attr("timezone").attr("utc"));
    return moment.attr("astimezone")().attr("isoformat")("timespec"_a = "seconds");
}

void require_text(const py::object &value, const char *name) {
    if (!py::isinstance<py::str>(value)) throw py::type_error(std::string(name) + ": a text");
}

py::dict event_body(bool v2, const py::object &contact, const py::object &name, const py::int_ &seconds,
                    const py::object &description) {
    py::dict body;
    body["name"] = name;
    body["kind"] = CALL_KIND;
    body[v2 ? "contact_id" : "contactId"] = contact;
    if (v2)
        body["start_date"] = local_time_text(seconds);
    else
        body["startDate"] = seconds;
    body[v2 ? "description" : "desc"] = description;
    return body;
}

}  // namespace

const char *const LOG_CALL_DOC =
    "Logs a call in Holded: a CRM event of kind \"call\" linked to contact `contacto` (its id),\n"
    "named `nombre`, starting at `inicio` (seconds since the epoch) and described by `descripcion`.\n"
    "One request. Returns the new event's id on success, Holded's refusal in v1's shape\n"
    "({\"status\": ..., \"info\": ...}) when refused, or None when Holded reported success without\n"
    "naming the event. A server error (5xx) raises RuntimeError, as a lost connection or a time-out\n"
    "raises requests' errors: the event may or may not exist.";

py::object log_call(py::object self, py::object contacto, py::object nombre, py::object inicio,
                    py::object descripcion) {
    require_text(contacto, "contacto");
    require_text(nombre, "nombre");
    require_text(descripcion, "descripcion");
    // An event linked to no contact would be a call nobody can find again.
    if (py::len(contacto) == 0) throw py::value_error("contacto: the contact's id is empty");
    bool v2 = speaks_v2(self);
    py::dict body = event_body(v2, contacto, nombre, whole_seconds(inicio), descripcion);
    py::object url = py::object(self.attr("base_url")) + py::str(v2 ? V2_EVENTS : V1_EVENTS);
    transport::Request request{"post", url, self.attr("headers"), body, transport::Waiting::user, std::nullopt};
    return outcome(v2, transport::exchange(request));
}
