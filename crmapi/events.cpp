// A call logged in Holded: a CRM event of kind "call" linked to the contact. Holded keeps no call
// log of its own that the API reaches; an event is its documented place for "a call happened".
// The answer is read the way Nuevo reads a create's (write_outcome), so a caller handles both alike.
#include "crmapi.hpp"
#include "answers.hpp"
#include "transport.hpp"

#include <string>

namespace {

// Where events are created: v1's CRM path under the API root; v2's client already speaks under "v2/".
const char *const V1_EVENTS = "crm/v1/events";
const char *const V2_EVENTS = "events";
const char *const CALL_KIND = "call";

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
    return write_outcome(v2, transport::exchange(request));
}
