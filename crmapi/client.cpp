// The Holded REST client (list, fetch, create, update) and its own reader of the API key.
#include "crmapi.hpp"

#include <string>

namespace {

// Seconds to wait for a connection and for an answer. Every request blocks the GUI thread, so a
// service that stalls must not hold the tray for long. Published as crmapi.TIMEOUT and read at
// each request, so it can be tuned without a rebuild.
constexpr int CONNECT_TIMEOUT_SECONDS = 5;
constexpr int READ_TIMEOUT_SECONDS = 15;

const char *const API_URL_ENV = "HOLDED_API_URL";
const char *const API_URL_DEFAULT = "https://api.holded.com/api/";
const char *const APP_URL_ENV = "HOLDED_APP_URL";
const char *const APP_URL_DEFAULT = "https://app.holded.com/";

struct Reader {};
struct Client {};

py::object mod(const char *name) { return py::module_::import(name); }

py::object timeout() { return mod("crmapi").attr("TIMEOUT"); }

// One of the two parts of the time-out, as text for a message.
std::string timeout_part(int index) {
    py::object value = timeout();
    if (py::isinstance<py::tuple>(value) && py::len(value) == 2) value = value[py::int_(index)];
    return py::str(value);
}

py::object send(const char *method, const py::object &url, const py::object &headers,
                const py::object *payload = nullptr) {
    py::object call = mod("requests").attr(method);
    if (payload != nullptr) return call(url, "headers"_a = headers, "json"_a = *payload, "timeout"_a = timeout());
    return call(url, "headers"_a = headers, "timeout"_a = timeout());
}

py::object decode(const py::object &response) { return mod("json").attr("loads")(response.attr("text")); }

py::object table_entry(const py::object &self, const py::object &cual) { return self.attr("listabbdd")[cual]; }

py::object endpoint(const py::object &self, const py::object &cual) {
    return py::object(self.attr("base_url")) + py::object(table_entry(self, cual)[py::int_(0)]);
}

py::object resource_keys(const py::object &self) { return self.attr("listabbdd").attr("keys")(); }

// Lista; `last`, when given, receives the last response, for the start-up probe's report.
py::object list_records(py::object self, py::object cual, py::object where, py::object *last = nullptr) {
    if (cual.is_none()) return resource_keys(self);
    py::object url = endpoint(self, cual);
    py::object headers = self.attr("headers");
    auto get = [&](const py::object &address) {
        py::object response = send("get", address, headers);
        if (last != nullptr) *last = response;
        return decode(response);
    };
    if (where.is_none()) return get(url);
    // Only what the service's query parsing would misread: "+" (a blank there) and blanks.
    py::object number = where.attr("replace")("+", "%2B").attr("replace")(" ", "%20");
    py::object found = get(url + py::str("?phone=") + number);
    if (py::len(found) == 0) found = get(url + py::str("?mobile=") + number);
    return found;
}

py::object fetch_record(py::object self, py::object cual, py::object id) {
    if (cual.is_none()) return resource_keys(self);
    if (id.is_none()) return py::str("No se puede si ID");
    return decode(send("get", endpoint(self, cual) + py::str("/") + id, self.attr("headers")));
}

// The answer to a create or update. The success code with an id remembers the record's page and
// gives the id; the success code without a usable id (no "id", or a body that is not JSON) gives
// None, since the record may exist but its page is unknown; any other code gives the decoded body.
py::object written(py::object self, const py::object &cual, const py::object &response, int success) {
    if (!py::object(response.attr("status_code")).equal(py::int_(success))) return decode(response);
    py::object body;
    try {
        body = decode(response);
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_ValueError)) throw;
        return py::none();
    }
    if (!py::isinstance<py::dict>(body)) return py::none();
    py::object id = body.attr("get")("id");
    if (!py::isinstance<py::str>(id) || py::len(id) == 0) return py::none();
    self.attr("web") = py::str(service_url(APP_URL_ENV, APP_URL_DEFAULT)) + cual + py::str("/") + id;
    return id;
}

py::object update_record(py::object self, py::object cual, py::object id, py::object payload) {
    if (cual.is_none()) return resource_keys(self);
    if (payload.is_none()) return table_entry(self, cual)[py::int_(1)];
    if (id.is_none()) return py::str("ID necesario");
    py::object response = send("put", endpoint(self, cual) + py::str("/") + id, self.attr("headers"), &payload);
    return written(self, cual, response, 200);
}

py::object new_record(py::object self, py::object cual, py::object payload) {
    if (cual.is_none()) return resource_keys(self);
    if (payload.is_none()) return table_entry(self, cual)[py::int_(1)];
    py::object response = send("post", endpoint(self, cual), self.attr("headers"), &payload);
    return written(self, cual, response, 201);
}

// --- the start-up probe's report -------------------------------------------------------------

bool is_instance(const py::handle &value, const py::object &type) {
    return PyObject_IsInstance(value.ptr(), type.ptr()) == 1;
}

// Whether a refused connection lies somewhere under a request library error (it wraps the
// socket error a few levels down, through causes and the pool's "reason").
bool refused_below(py::object error) {
    py::object refused = mod("builtins").attr("ConnectionRefusedError");
    for (int depth = 0; depth < 12 && !error.is_none(); ++depth) {
        if (is_instance(error, refused)) return true;
        py::object next = error.attr("__cause__");
        if (next.is_none()) next = error.attr("__context__");
        if (next.is_none()) next = py::getattr(error, "reason", py::none());
        if (next.is_none() && py::len(error.attr("args")) > 0) {
            py::object first = error.attr("args")[py::int_(0)];
            if (is_instance(first, mod("builtins").attr("BaseException"))) next = first;
        }
        error = next;
    }
    return false;
}

// The deepest cause of an error: the socket or name-resolution message behind the wrappers.
py::object innermost(py::object error) {
    for (int depth = 0; depth < 12; ++depth) {
        py::object next = error.attr("__cause__");
        if (next.is_none()) next = error.attr("__context__");
        if (next.is_none()) next = py::getattr(error, "reason", py::none());
        if (next.is_none() || !is_instance(next, mod("builtins").attr("BaseException"))) break;
        error = next;
    }
    return error;
}

std::string requested_url(const py::object &error, const py::object &fallback) {
    py::object request = py::getattr(error, "request", py::none());
    if (!request.is_none()) {
        py::object url = py::getattr(request, "url", py::none());
        if (!url.is_none()) return py::str(url);
    }
    return py::str(fallback);
}

// What a completed probe tells: nothing when the service listed the contacts, else its status
// and the service's own words.
std::string answer_note(const py::object &response, const py::object &decoded) {
    std::string status = py::str(response.attr("status_code"));
    if (status == "200") return "";
    if (status == "401") return "401: the API key was refused";
    if (py::isinstance<py::dict>(decoded)) {
        py::object info = decoded.attr("get")("info");
        if (py::isinstance<py::str>(info) && py::len(info) > 0) return status + ": " + std::string(py::str(info));
    }
    return status + ": unexpected answer";
}

std::string failure_note(const py::error_already_set &e, const py::object &response, const py::object &url) {
    py::object error = e.value();
    py::object exceptions = mod("requests").attr("exceptions");
    std::string where = requested_url(error, url);
    if (e.matches(exceptions.attr("ConnectTimeout")))
        return "time-out: no connection to " + where + " within " + timeout_part(0) + " s";
    if (e.matches(exceptions.attr("ReadTimeout")))
        return "time-out: no answer from " + where + " within " + timeout_part(1) + " s";
    if (e.matches(exceptions.attr("ConnectionError"))) {
        if (refused_below(error)) return "connection refused: " + where;
        return "connection failed: " + where + " (" + std::string(py::str(innermost(error))) + ")";
    }
    if (e.matches(mod("json").attr("JSONDecodeError")) && !response.is_none()) {
        std::string status = py::str(response.attr("status_code"));
        py::object type = response.attr("headers").attr("get")("Content-Type", "");
        std::string note = status + ": the answer is not JSON";
        // A plain-text answer is the service speaking (e.g. a blocked account): worth showing.
        if (py::bool_(py::str(type).attr("startswith")("text/plain"))) {
            py::object text = response.attr("text").attr("strip")();
            return note + ": " + std::string(py::str(text[py::slice(0, 160, 1)]));
        }
        std::string shown = py::str(type);
        return shown.empty() ? note : note + " (" + shown + ")";
    }
    return std::string(py::str(py::type::of(error).attr("__name__"))) + ": " + std::string(py::str(error));
}

// Lists the contacts once. Only a list of contacts counts as success: an exception, or an answer
// with another status (a refused key answers JSON too), leaves estado False so that start-up asks
// for a better key; lasterror says why. sin_conexion tells a failure that may pass by itself (no
// network, a time-out, a certificate the PC cannot check, the service down or limiting requests)
// from one that needs the user (a refused key, a blocked account). Returns estado.
bool probe(py::object self) {
    py::object response = py::none();
    py::object url = py::str(self.attr("base_url"));
    bool transient = false;
    try {
        url = endpoint(self, py::str("contacts"));
        py::object decoded = list_records(self, py::str("contacts"), py::none(), &response);
        std::string note = answer_note(response, decoded);
        int status = py::int_(response.attr("status_code")).cast<int>();
        transient = !note.empty() && (status >= 500 || status == 429);
        self.attr("estado") = note.empty();
        self.attr("lasterror") = note;
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::object exceptions = mod("requests").attr("exceptions");
        transient = e.matches(exceptions.attr("ConnectionError")) || e.matches(exceptions.attr("Timeout")) ||
                    (!response.is_none() && py::int_(response.attr("status_code")).cast<int>() >= 500);
        self.attr("estado") = false;
        self.attr("lasterror") = failure_note(e, response, url);
    }
    self.attr("sin_conexion") = transient;
    return py::bool_(self.attr("estado"));
}

// --- constructors ----------------------------------------------------------------------------

void construct_reader(py::object self) {
    // Read and written the way the settings store does (encoding, repeated options, repairs).
    py::object config = settings_parser();
    self.attr("config") = config;
    self.attr("ficheroini") = py::str("config.ini");
    py::object ficheroini = self.attr("ficheroini");
    tell_damaged_settings(on_settings_file(ficheroini, [&] { return read_settings(config, ficheroini); }));
    if (!py::bool_(config.attr("has_section")("api"))) {
        py::dict modelo;
        modelo["api_key"] = "";
        config.attr("add_section")("api");
        for (auto lineas : modelo) config.attr("set")("api", lineas.first, lineas.second);
    }
    on_settings_file(ficheroini, [&] { write_settings(config, ficheroini); });
    py::dict cvariables;
    // A section without the entry is a key never given: empty, so the client stops politely.
    cvariables["api_key"] = config.attr("get")("api", "api_key", "fallback"_a = "");
    self.attr("cvariables") = cvariables;
}

void construct_client(py::object self) {
    py::object variable = mod("crmapi").attr("conf")();
    self.attr("variable") = variable;
    py::object key = variable.attr("cvariables")["api_key"];
    if (py::len(key) == 0) {
        toolkit().attr("popup_error")("ERROR", "Necesito los datos API para seguir ");
        mod("sys").attr("exit")();
        return;
    }
    py::dict headers;
    headers["accept"] = "application/json";
    headers["content-type"] = "application/json";
    headers["key"] = key;
    self.attr("headers") = headers;
    self.attr("base_url") = py::str(service_url(API_URL_ENV, API_URL_DEFAULT));
    self.attr("listabbdd") = self.attr("Diccio")();
    probe(self);
}

const char *const READER_DOC = "Reader of the API key in config.ini (section api, entry api_key).";

const char *const CLIENT_DOC =
    "Client of the Holded REST API: lists, fetches, creates and updates records.\n"
    "\n"
    "estado tells whether the start-up probe listed the contacts; lasterror describes what went\n"
    "wrong in it (empty when the API listed the contacts) and sin_conexion whether that failure\n"
    "may pass by itself (network, time-out, service down) rather than need a better key. web is\n"
    "the web-app page of the last record created or updated, and is not set before the first one.";

const char *const DICCIO_DOC = "Resource table: key -> [endpoint path, record template], built afresh.";

const char *const LISTA_DOC =
    "Records of a resource; with a number, the contacts whose phone, or else whose mobile, is it.\n"
    "\n"
    ":param cual:\n"
    ":param where:\n"
    ":return:";

const char *const INFO_DOC =
    "One record of a resource.\n"
    "\n"
    ":param cual:\n"
    ":param id:\n"
    ":return:";

const char *const UPDATE_DOC =
    "Updates the fields of a record given in payload; without payload, the resource's template.\n"
    "Returns the id on success (and web holds the record's page), the API's error body when\n"
    "refused, or None when the API reported success without saying which record (web unchanged).\n"
    "\n"
    ":param cual:\n"
    ":param id:\n"
    ":param payload:\n"
    ":return:";

const char *const NUEVO_DOC =
    "Creates a record from payload; without payload, the resource's template.\n"
    "Returns the new id on success (and web holds its page), the API's error body when refused,\n"
    "or None when the API reported success without saying which record (web unchanged).\n"
    "\n"
    ":param cual:\n"
    ":param payload:\n"
    ":return:";

}  // namespace

void register_client(py::module_ &m) {
    m.attr("TIMEOUT") = py::make_tuple(CONNECT_TIMEOUT_SECONDS, READ_TIMEOUT_SECONDS);

    // The docstrings are the methods' own text, without generated signature lines.
    py::options options;
    options.disable_function_signatures();

    py::class_<Reader> reader(m, "conf", READER_DOC, py::dynamic_attr());
    def_init(reader, construct_reader);

    py::class_<Client> client(m, "crmapi", CLIENT_DOC, py::dynamic_attr());
    def_init(client, construct_client);
    client.def("probar", &probe,
               "Probes the API again, as at start-up: sets estado, lasterror and sin_conexion and returns "
               "estado.");
    client.def("Diccio", [](py::object) { return resource_table(); }, DICCIO_DOC);
    client.def(
        "Lista", [](py::object self, py::object cual, py::object where) { return list_records(self, cual, where); },
        LISTA_DOC, "cual"_a = py::none(), "where"_a = py::none());
    client.def("Info", &fetch_record, INFO_DOC, "cual"_a = py::none(), "id"_a = py::none());
    client.def("Update", &update_record, UPDATE_DOC, "cual"_a = py::none(), "id"_a = py::none(),
               "payload"_a = py::none());
    client.def("Nuevo", &new_record, NUEVO_DOC, "cual"_a = py::none(), "payload"_a = py::none());
}
