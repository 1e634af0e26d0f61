// The Holded REST client (list, fetch, create, update). A key that starts with "pat_" speaks API
// v2, any other key v1; callers see v1's records either way. Its start-up probe is in probe.cpp,
// the reader of the API key in key.cpp, the reading of Holded's answers in answers.cpp.
#include "crmapi.hpp"
#include "answers.hpp"
#include "failure.hpp"
#include "transport.hpp"
#include "v2.hpp"
#include "gui.hpp"
#include "services.hpp"
#include "settings_file.hpp"

#include <string>
#include <vector>

namespace {

// Seconds to wait for a connection and for a whole exchange, and for a lookup that may need two
// exchanges. Every request the user waits for blocks the GUI thread, so a service that stalls
// or trickles must not hold the tray for long. Published as crmapi.TIMEOUT and
// crmapi.LOOKUP_TIMEOUT and read at each request, so they can be tuned without a rebuild.
constexpr int CONNECT_TIMEOUT_SECONDS = 5;
constexpr int EXCHANGE_TIMEOUT_SECONDS = 15;
constexpr int LOOKUP_TIMEOUT_SECONDS = 20;

// v2 lives beside v1 under the same API root.
const char *const V2_PATH = "v2/";
// Contacts per page when the whole list is read through v2 (its documented maximum is 100).
const char *const V2_PAGE_LIMIT = "100";

struct Reader {};
struct Client {};

using transport::Request;
using transport::Waiting;

py::object resource_keys(const py::object &self) { return self.attr("listabbdd").attr("keys")(); }

// A filter value as one query value: every reserved character percent-encoded, so that "#",
// "&" or "+" in a number cannot end or change the filter.
py::str query_value(const py::object &text) { return pymod("urllib.parse").attr("quote")(text, "safe"_a = ""); }

py::str app_page(const py::object &cual, const py::object &id) {
    return holded_page(py::str(cual).cast<std::string>().c_str(), id);
}

// v2 answers: the items of a list, a record, or a refusal; all in v1's shape.
py::object v2_answer(const py::object &response) {
    py::object body = decode(response);
    if (status_of(response) != 200) return v2::to_v1_error(status_of(response), body);
    if (py::isinstance<py::dict>(body) && body.contains("items")) {
        py::list items;
        for (py::handle item : body[py::str("items")]) items.append(v2::to_v1(item));
        return items;
    }
    return v2::to_v1(body);
}

// Lista: both requests of a lookup share one deadline.
py::object list_records(py::object self, py::object cual, py::object where) {
    if (cual.is_none()) return resource_keys(self);
    py::object url = endpoint(self, cual);
    auto deadline = transport::lookup_deadline();
    auto get = [&](const py::object &address) {
        py::object response = send(self, "get", address, py::none(), deadline);
        return speaks_v2(self) ? v2_answer(response) : decode(response);
    };
    if (where.is_none()) return get(url);
    py::str number = query_value(where);
    py::object found = get(url + py::str("?phone=") + number);
    if (py::len(found) == 0) found = get(url + py::str("?mobile=") + number);
    return found;
}

py::object record_url(const py::object &self, const py::object &cual, const py::object &id) {
    return endpoint(self, cual) + py::str("/") + py::str(id);
}

py::object fetch_record(py::object self, py::object cual, py::object id) {
    if (cual.is_none()) return resource_keys(self);
    if (id.is_none()) return py::str("No se puede si ID");
    py::object response = send(self, "get", record_url(self, cual, id));
    return speaks_v2(self) ? v2_answer(response) : decode(response);
}

// The outcome of a create or update (write_outcome), with `web` at the record's page on success.
// An update names the record it wrote even when the answer does not.
py::object written(py::object self, const py::object &cual, const py::object &response, py::object id = py::none()) {
    py::object result = write_outcome(speaks_v2(self), response);
    int status = status_of(response);
    if (status < 200 || status >= 300) return result;
    if (py::isinstance<py::str>(result)) id = result;
    if (id.is_none()) return result;
    self.attr("web") = app_page(cual, id);
    return id;
}

// v2's PUT replaces the whole record: it is read first and written back with the changes.
py::object update_v2(py::object self, const py::object &cual, const py::object &id, const py::object &changes) {
    py::object current = send(self, "get", record_url(self, cual, id));
    if (status_of(current) != 200) return v2::to_v1_error(status_of(current), decode(current));
    py::dict body = v2::replacement_body(decode(current), changes);
    return written(self, cual, send(self, "put", record_url(self, cual, id), body), id);
}

py::object update_record(py::object self, py::object cual, py::object id, py::object payload) {
    if (cual.is_none()) return resource_keys(self);
    if (payload.is_none()) return table_entry(self, cual)[py::int_(1)];
    if (id.is_none()) return py::str("ID necesario");
    if (speaks_v2(self)) return update_v2(self, cual, id, payload);
    return written(self, cual, send(self, "put", record_url(self, cual, id), payload));
}

// v2 takes no contact persons at creation: each becomes a person contact of its own, linked to
// the new contact by writing it back whole. True when every person is linked.
bool link_persons_v2(py::object self, const py::object &cual, const py::object &id, const py::handle &persons) {
    py::list links;
    for (py::handle person : persons) {
        py::dict fields;
        for (const char *name : {"name", "phone", "email"})
            if (person.contains(name)) fields[name] = person[py::str(name)];
        fields["is_person"] = true;
        py::object made = send(self, "post", endpoint(self, cual), fields);
        py::object person_id = status_of(made) == 201 ? written_id(made) : py::none();
        if (person_id.is_none()) return false;
        links.append(py::dict("person_id"_a = person_id));
    }
    py::object current = send(self, "get", record_url(self, cual, id));
    if (status_of(current) != 200) return false;
    py::dict body = v2::replacement_body(decode(current), py::dict());
    py::list all = body["contact_persons"];
    for (py::handle link : links) all.append(link);
    return status_of(send(self, "put", record_url(self, cual, id), body)) == 200;
}

py::object create_v2(py::object self, const py::object &cual, const py::object &payload) {
    std::vector<std::string> lost;
    py::dict body = v2::create_body(payload, lost);
    py::object result = written(self, cual, send(self, "post", endpoint(self, cual), body));
    py::object persons = payload.attr("get")("contactPersons");
    if (py::isinstance<py::str>(result) && py::isinstance<py::list>(persons) && py::len(persons) > 0) {
        try {
            if (!link_persons_v2(self, cual, result, persons)) lost.emplace_back("contactPersons");
        } catch (py::error_already_set &e) {
            // The contact exists: a failure here loses its contact person, not the contact.
            if (!e.matches(PyExc_Exception)) throw;
            lost.emplace_back("contactPersons");
        }
    }
    py::list shown;
    for (const std::string &name : lost) shown.append(name);
    self.attr("no_guardado") = shown;
    return result;
}

py::object new_record(py::object self, py::object cual, py::object payload) {
    if (cual.is_none()) return resource_keys(self);
    if (payload.is_none()) return table_entry(self, cual)[py::int_(1)];
    self.attr("no_guardado") = py::list();
    if (speaks_v2(self)) return create_v2(self, cual, payload);
    return written(self, cual, send(self, "post", endpoint(self, cual), payload));
}

// Headers, base address and API version for a key (without the blanks and invisible
// characters a paste brings along).
void use_key(py::object self, const py::str &given) {
    py::str key = clean_key(given);
    bool v2 = v2::is_token(key);
    py::dict headers;
    headers["accept"] = "application/json";
    headers["content-type"] = "application/json";
    if (v2)
        headers["Authorization"] = py::str("Bearer ") + key;
    else
        headers["key"] = key;
    self.attr("headers") = headers;
    self.attr("version") = v2 ? 2 : 1;
    std::string base = services::holded_api();
    self.attr("base_url") = py::str(v2 ? base + V2_PATH : base);
}

// The client's key as it sends it.
py::str current_key(const py::object &self) {
    py::dict headers = self.attr("headers");
    if (headers.contains("key")) return headers["key"];
    py::str bearer = headers["Authorization"];
    return bearer[py::slice(7, py::len(bearer), 1)];
}

void construct_client(py::object self) {
    py::object variable = pymod("crmapi").attr("conf")();
    self.attr("variable") = variable;
    py::object key = variable.attr("cvariables")["api_key"];
    if (py::len(key) == 0) {
        show_popup("popup_error", verbatim("ERROR"), verbatim("Necesito los datos API para seguir "));
        pymod("sys").attr("exit")();
        return;
    }
    use_key(self, key);
    self.attr("listabbdd") = self.attr("Diccio")();
    probe(self);
    py::object config = variable.attr("config");
    self.attr("indice") = pymod("crmapi").attr("indice")(
        self, "pais"_a = office_region(config.attr("get")("windows", "pais", "fallback"_a = DEFAULT_REGION)),
        "horas"_a = config.attr("get")("windows", "indice_horas", "fallback"_a = DEFAULT_INDEX_HOURS_TEXT));
}

// A new key from the configuration window: the client speaks with it from now on, and the
// contacts of the old key's account are forgotten. True when the key changed.
bool change_key(py::object self, py::str key) {
    if (current_key(self).equal(clean_key(key))) return false;
    use_key(self, key);
    self.attr("indice").attr("vaciar")();
    return true;
}

const char *const CLIENT_DOC =
    "Client of the Holded REST API: lists, fetches, creates and updates records.\n"
    "\n"
    "A key that starts with \"pat_\" speaks API v2 (version 2), any other v1; records are in\n"
    "v1's shape either way. estado tells whether the start-up probe listed the contacts;\n"
    "lasterror describes what went wrong in it (empty when it listed them) and motivo the same\n"
    "for the user; clave_rechazada tells a refused key and sin_conexion a failure that may pass\n"
    "by itself (network, time-out, service down). web is the web-app page of the last record\n"
    "created or updated, and is not set before the first one. indice is the contact index.";

const char *const DICCIO_DOC = "Resource table: key -> [endpoint path, record template], built afresh.";

const char *const LISTA_DOC =
    "Records of a resource; with a number `where`, the contacts whose phone, or else whose mobile,\n"
    "is exactly that text. Without `cual`, the resource keys.";

const char *const INFO_DOC =
    "The record `id` of resource `cual`; without `cual` the resource keys, without `id` a note.";

const char *const UPDATE_DOC =
    "Updates the fields of record `id` given in `payload`; without payload, the resource's template.\n"
    "Returns the id on success (and web holds the record's page), the API's error body when\n"
    "refused, or None when the API reported success without saying which record (web unchanged).\n"
    "A server error (5xx) raises RuntimeError: the change may or may not have been made.";

const char *const NUEVO_DOC =
    "Creates a record from `payload`; without payload, the resource's template.\n"
    "Returns the new id on success (and web holds its page), the API's error body when refused,\n"
    "or None when the API reported success without saying which record (web unchanged).\n"
    "no_guardado then lists the fields of the payload the API could not keep (v2 keeps no note).\n"
    "A server error (5xx) raises RuntimeError, as a lost connection or a time-out raises requests'\n"
    "errors: the record may or may not exist, so Lista is asked before creating it again.";

}  // namespace

ContactPage contact_page(const py::object &client, const PageCursor &at) {
    ContactPage page;
    py::object url = endpoint(client, py::str("contacts"));
    bool v2 = speaks_v2(client);
    if (v2) {
        url = url + py::str("?limit=") + py::str(V2_PAGE_LIMIT);
        if (!at.token.empty()) url = url + py::str("&cursor=") + query_value(py::str(at.token));
    } else {
        url = url + py::str("?page=") + py::str(std::to_string(at.number));
    }
    Request request{"get", url, client.attr("headers"), py::none(), Waiting::background, std::nullopt};
    py::object response = transport::exchange(request);
    py::object body = decode(response);
    // A list is all v1 answers; v2 wraps its items with the word on whether more follow.
    bool listed = v2 ? py::isinstance<py::dict>(body) && py::isinstance<py::list>(body.attr("get")("items")) &&
                           py::isinstance<py::bool_>(body.attr("get")("has_more"))
                     : py::isinstance<py::list>(body);
    if (status_of(response) != 200 || !listed)
        raise_user_error(std::string(tr("Holded no ha dado la lista de contactos: ")) +
                         std::to_string(status_of(response)));
    if (v2) {
        for (py::handle item : body[py::str("items")]) page.records.append(v2::to_v1_brief(item));
        py::object cursor = body.attr("get")("cursor");
        bool has_more = py::bool_(body[py::str("has_more")]);
        page.more = has_more && py::isinstance<py::str>(cursor) && py::len(cursor) > 0;
        page.last = !has_more;
        if (page.more) page.next.token = py::str(cursor);
    } else {
        page.records = body;
        page.sized = true;
        page.more = py::len(body) > 0;
        page.next.number = at.number + 1;
    }
    return page;
}

void register_client(py::module_ &m) {
    m.attr("TIMEOUT") = py::make_tuple(CONNECT_TIMEOUT_SECONDS, EXCHANGE_TIMEOUT_SECONDS);
    m.attr("LOOKUP_TIMEOUT") = LOOKUP_TIMEOUT_SECONDS;

    // The docstrings are the methods' own text, without generated signature lines.
    py::options options;
    options.disable_function_signatures();

    py::class_<Reader> reader(m, "conf", READER_DOC, py::dynamic_attr());
    def_init(reader, construct_reader);

    py::class_<Client> client(m, "crmapi", CLIENT_DOC, py::dynamic_attr());
    def_init(client, construct_client);
    client.def("probar", &probe,
               "Probes the API again, as at start-up: sets estado, lasterror, motivo, clave_rechazada and "
               "sin_conexion and returns estado.");
    client.def("cambiar_clave", &change_key, "key"_a,
               "Speaks with a new key from now on (v1 or v2 by its shape) and empties the contact index; "
               "True when the key changed.");
    client.def("Diccio", [](py::object) { return resource_table(); }, DICCIO_DOC);
    client.def("Lista", &list_records, LISTA_DOC, "cual"_a = py::none(), "where"_a = py::none());
    client.def("Info", &fetch_record, INFO_DOC, "cual"_a = py::none(), "id"_a = py::none());
    client.def("Update", &update_record, UPDATE_DOC, "cual"_a = py::none(), "id"_a = py::none(),
               "payload"_a = py::none());
    client.def("Nuevo", &new_record, NUEVO_DOC, "cual"_a = py::none(), "payload"_a = py::none());
    client.def("Evento", &log_call, LOG_CALL_DOC, "contacto"_a, "nombre"_a, "inicio"_a, "descripcion"_a);
}
