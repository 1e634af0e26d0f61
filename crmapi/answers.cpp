#include "answers.hpp"

#include "failure.hpp"
#include "transport.hpp"
#include "v2.hpp"

#include <string>

bool speaks_v2(const py::object &self) { return py::int_(self.attr("version")).cast<int>() == 2; }

int status_of(const py::object &response) { return py::int_(response.attr("status_code")).cast<int>(); }

py::object table_entry(const py::object &self, const py::object &cual) { return self.attr("listabbdd")[cual]; }

py::object endpoint(const py::object &self, const py::object &cual) {
    py::object entry = table_entry(self, cual);
    if (speaks_v2(self)) return py::object(self.attr("base_url")) + py::str(cual);
    return py::object(self.attr("base_url")) + py::object(entry[py::int_(0)]);
}

py::object decode(const py::object &response) {
    try {
        return pymod("json").attr("loads")(response.attr("text"));
    } catch (py::error_already_set &e) {
        if (!e.matches(pymod("json").attr("JSONDecodeError"))) throw;
        py::str type = response.attr("headers").attr("get")("Content-Type", "");
        if (status_of(response) < 400 || !py::bool_(type.attr("startswith")("text/plain"))) throw;
        py::str words = response.attr("text").attr("strip")();
        raise_user_error("Holded: " + std::string(py::str(words[py::slice(0, 160, 1)])));
    }
}

py::object send(const py::object &self, const char *method, const py::object &url, const py::object &payload,
                std::optional<Clock::time_point> deadline) {
    transport::Request request{method, url, self.attr("headers"), payload, transport::Waiting::user, deadline};
    return transport::exchange(request);
}

py::object json_body(const py::object &response) {
    try {
        return pymod("json").attr("loads")(response.attr("text"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
}

py::object written_id(const py::object &response) {
    py::object body = json_body(response);
    if (!py::isinstance<py::dict>(body)) return py::none();
    py::object id = body.attr("get")("id");
    if (!py::isinstance<py::str>(id) || py::len(id) == 0) return py::none();
    return id;
}

std::string server_failure(const py::object &response) {
    std::string text = "Holded: error " + std::to_string(status_of(response));
    py::object body = decode(response);
    if (!py::isinstance<py::dict>(body)) return text;
    for (const char *field : {"info", "detail", "title"}) {
        py::object words = body.attr("get")(field);
        if (py::isinstance<py::str>(words) && py::len(words) > 0) return text + ": " + std::string(py::str(words));
    }
    return text;
}

py::object write_outcome(bool v2, const py::object &response) {
    int status = status_of(response);
    if (status >= 500) raise_user_error(server_failure(response));
    if (status < 200 || status >= 300)
        return v2 ? py::object(v2::to_v1_error(status, decode(response))) : decode(response);
    py::object id = written_id(response);
    if (!id.is_none()) return id;
    // v1 may refuse with a success status and {"status": 0, "info": ...}.
    py::object answer = json_body(response);
    bool refused = py::isinstance<py::dict>(answer) && answer.attr("get")("status").equal(py::int_(0));
    return refused ? answer : py::object(py::none());
}
