// The e-mail check and the creation of a contact from the new-contact form's values.
#include "crmprocs.hpp"

namespace {

const char *const EMAIL_PATTERN = R"((^[a-zA-Z0-9_.+-]+@[a-zA-Z0-9-]+\.[a-zA-Z0-9-.]+$))";

bool truthy(const py::handle &value) {
    int result = PyObject_IsTrue(value.ptr());
    if (result < 0) throw py::error_already_set();
    return result == 1;
}

bool is_empty_text(const py::handle &text) { return py::len(text) == 0; }

// The form's contact types and the Holded type each one stands for.
py::dict contact_types() {
    py::dict types;
    types["Sin especificar"] = "";
    types["Lead"] = "lead";
    types["Cliente"] = "client";
    types["Proveedor"] = "supplier";
    types["Deudor"] = "debtor";
    types["Acreedor"] = "creditor";
    return types;
}

// A directory text as plain words of the note: HTML special characters become entities, and
// Markdown's punctuation is escaped so that a company page cannot plant links, images or
// markup in the CRM; line breaks become blanks so each pair stays one item of the list.
py::str note_text(const py::handle &value) {
    py::str text = py::str(value);
    text = text.attr("replace")("\r\n", " ").attr("replace")("\r", " ").attr("replace")("\n", " ");
    py::object escaped = py::module_::import("re").attr("sub")(R"(([\\`*_{}\[\]()#+\-.!]))", R"(\\\1)", text);
    return py::module_::import("html").attr("escape")(escaped, "quote"_a = false);
}

// The company data of the directory as a bulleted Markdown list, one "key: value" item each.
py::str directory_markdown(const py::handle &data) {
    std::string markdown_text;
    for (py::handle item : data.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        markdown_text += "- **" + note_text(pair[0]).cast<std::string>() + ":** " +
                         note_text(pair[1]).cast<std::string>() + "\n";
    }
    return py::str(markdown_text);
}

// What the client answered, as the line the user reads under the refusal: the API's own
// message, else its status, else the answer itself.
py::str refusal_detail(const py::handle &answer) {
    if (py::isinstance<py::dict>(answer)) {
        py::dict body = py::reinterpret_borrow<py::dict>(answer);
        for (const char *field : {"info", "status"}) {
            if (body.contains(field) && !body[field].is_none() && py::len(py::str(body[field])) > 0)
                return py::str("Holded: ") + py::str(body[field]);
        }
    }
    return py::str("Holded: ") + py::str(answer);
}

void show_failure(const py::handle &detail) {
    toolkit().attr("popup_error")(tr("No se ha podido crear el contacto"), detail, "title"_a = tr("ERROR"),
                                  "keep_on_top"_a = true);
}

// The second line of the popup for a request that failed: no connection or no answer in time,
// or an answer that is not the JSON the client reads. Empty for any other error.
py::object request_failure(py::error_already_set &e) {
    if (e.matches(py::module_::import("json").attr("JSONDecodeError")))
        return tr("Holded ha respondido algo que no se puede leer");
    if (e.matches(py::module_::import("requests").attr("exceptions").attr("RequestException")))
        return tr("Holded no responde; compruebe la conexión");
    return py::none();
}

}  // namespace

// Whether the client's answer to Nuevo is the id of a contact it has just created: a text, and
// the client's page address is now that contact's (it keeps the last one otherwise).
bool created_id(const py::handle &answer, const py::handle &apiteam) {
    if (!py::isinstance<py::str>(answer) || py::len(answer) == 0) return false;
    py::object web = py::getattr(apiteam, "web", py::none());
    return py::isinstance<py::str>(web) && py::bool_(web.attr("endswith")(py::str("/") + py::str(answer)));
}

bool validatemail(const py::object &text) {
    py::object result = py::module_::import("re").attr("match")(EMAIL_PATTERN, text);
    if (result.is_none()) return false;
    // "$" also matches before a final line break; an address never ends in one.
    return result.attr("group")().equal(text);
}

py::object altateam(const py::object &valores, const py::object &telefono, const py::object &leinforma,
                    const py::object &self) {
    py::object nombre = valores["-Nombre-"];
    py::object apellidos = valores["-Apellidos-"];
    py::object email = valores["-Email-"];
    py::object empresa = valores["-Empresa-"];

    py::dict nuevo;
    nuevo["socialNetworks"] = py::dict();
    nuevo["billAddress"] = py::dict();
    nuevo["contactPersons"] = py::list();
    if (!is_empty_text(empresa))
        nuevo["name"] = empresa;
    else
        nuevo["name"] = nombre + py::str(" ") + apellidos;
    nuevo["email"] = email;
    nuevo["mobile"] = telefono;
    nuevo["phone"] = telefono;
    nuevo["socialNetworks"]["website"] = py::str("http://wa.me/") + telefono.attr("replace")(" ", "");
    nuevo["type"] = contact_types().attr("get")(valores["-TIPO-"]);
    nuevo["taxOperation"] = "general";
    nuevo["isperson"] = py::bool_(is_empty_text(empresa));

    if (!is_empty_text(empresa) && truthy(leinforma)) {
        py::object jsoneinforma = py::module_::import("dirscrape").attr("dirscrape")(empresa);
        if (truthy(jsoneinforma)) {
            py::object markdown = py::module_::import("markdown");
            py::str markdown_text = directory_markdown(jsoneinforma);
            py::object legal_name = jsoneinforma.attr("get")("Razón Social");
            // A page without a legal name keeps the name the user typed rather than
            // creating a contact without one.
            if (!legal_name.is_none() && py::len(py::str(legal_name)) > 0) nuevo["name"] = legal_name;
            nuevo["note"] = markdown.attr("markdown")(markdown_text);
            nuevo["vatnumber"] = jsoneinforma.attr("get")("Cif");
            // v1 keeps a contact's NIF/CIF in "code"; "vatnumber" alone may be dropped.
            nuevo["code"] = jsoneinforma.attr("get")("Cif");
            nuevo["email"] = is_empty_text(email) ? jsoneinforma.attr("get")("Email") : email;
            py::dict direccion;
            direccion["address"] = jsoneinforma.attr("get")("Direccion");
            direccion["city"] = jsoneinforma.attr("get")("Poblacion");
            direccion["country"] = "España";
            direccion["postalCode"] = jsoneinforma.attr("get")("Codpost");
            nuevo["billAddress"] = direccion;
        }
    }

    if (!is_empty_text(nombre)) {
        py::object capellido = is_empty_text(apellidos) ? empresa : apellidos;
        if (is_empty_text(capellido)) capellido = nuevo["name"];
        py::dict persona;
        persona["name"] = nombre + py::str(" ") + capellido;
        persona["phone"] = telefono;
        persona["email"] = email;
        py::list personas;
        personas.append(persona);
        nuevo["contactPersons"] = personas;
    }

    py::object apiteam = self.attr("variable").attr("apiteam");
    py::object answer;
    try {
        answer = apiteam.attr("Nuevo")("contacts", nuevo);
    } catch (py::error_already_set &e) {
        py::object detail = request_failure(e);
        if (detail.is_none()) throw;
        py::print(e.what());
        show_failure(detail);
        return e.value();
    }
    if (created_id(answer, apiteam)) {
        open_page(apiteam.attr("web"), 2, true);
    } else if (answer.is_none()) {
        // Holded said "created" without the id: the contact exists but its page is unknown.
        toolkit().attr("popup")(tr("Holded ha creado el contacto sin decir cuál es; búsquelo en Holded"),
                                "title"_a = tr("Alta nuevo contacto / empresa"), "keep_on_top"_a = true);
    } else {
        // Refused: there is no page of this contact, and the client's `web` still points at the
        // last record created, so nothing is opened.
        show_failure(refusal_detail(answer));
    }
    return answer;
}

void register_create(py::module_ &m) {
    m.def("validatemail", &validatemail, "text"_a, "Whether the text is one well-formed e-mail address.");
    m.def("altateam", &altateam, "valores"_a, "telefono"_a, "leinforma"_a, "self"_a,
          "Creates the contact of the new-contact form's values, enriched from the company directory "
          "when allowed, and opens its page. Returns what the client's Nuevo returned: the new id, the "
          "API's refusal (shown to the user) or None (created, page unknown). When a request fails "
          "(no connection, time-out, unreadable answer) the user is told and the exception is returned.");
}
