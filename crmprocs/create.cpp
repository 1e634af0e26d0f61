// The e-mail check and the creation of a contact from the new-contact form's values.
#include "crmprocs.hpp"
#include "fonts.hpp"
#include "gui.hpp"
#include "services.hpp"

namespace {

const char *const EMAIL_PATTERN = R"((^[a-zA-Z0-9_.+-]+@[a-zA-Z0-9-]+\.[a-zA-Z0-9-.]+$))";

// The Holded type of the form's contact type; None for a text typed into the list.
py::object holded_type(const py::object &shown) {
    for (const ContactType &type : CONTACT_TYPES)
        if (shown.equal(py::str(type.shown))) return py::str(type.holded);
    return py::none();
}

// A directory text as plain words of the note: HTML special characters become entities, and
// Markdown's punctuation is escaped so that a company page cannot plant links, images or
// markup in the CRM; line breaks become blanks so each pair stays one item of the list.
py::str note_text(const py::handle &value) {
    py::str text = py::str(value);
    text = text.attr("replace")("\r\n", " ").attr("replace")("\r", " ").attr("replace")("\n", " ");
    py::object escaped = pymod("re").attr("sub")(R"(([\\`*_{}\[\]()#+\-.!]))", R"(\\\1)", text);
    return pymod("html").attr("escape")(escaped, "quote"_a = false);
}

// The company data of the directory as a bulleted Markdown list, one "key: value" item each.
py::str directory_markdown(const py::handle &data) {
    std::string markdown_text;
    for (py::handle item : data.attr("items")()) {
        py::tuple pair = py::reinterpret_borrow<py::tuple>(item);
        markdown_text +=
            "- **" + note_text(pair[0]).cast<std::string>() + ":** " + note_text(pair[1]).cast<std::string>() + "\n";
    }
    return py::str(markdown_text);
}

// Lines of a refusal's words in a popup, at the most, and the width the popup wraps them at: a
// refusal of hundreds of lines made a popup taller than the screen.
constexpr std::size_t REFUSAL_LINES_MAX = 10;
constexpr int POPUP_LINE_WIDTH = 60;
// Seconds a notice stays where the application object shows none of its own.
constexpr int NOTICE_SECONDS = 2;

// A text as the popup shows it, cut to its first lines; the last line kept ends in an ellipsis
// when anything was cut.
py::str cut_to_lines(const py::handle &text) {
    py::object wrap = pymod("textwrap").attr("wrap");
    py::list lines;
    for (py::handle paragraph : py::str(text).attr("splitlines")()) {
        py::list wrapped = wrap(paragraph, POPUP_LINE_WIDTH);
        if (py::len(wrapped) == 0) wrapped.append(py::str(""));
        for (py::handle line : wrapped) {
            if (py::len(lines) == REFUSAL_LINES_MAX) {
                lines[REFUSAL_LINES_MAX - 1] = py::str(lines[REFUSAL_LINES_MAX - 1]) + py::str("\u2026");
                return py::str("\n").attr("join")(lines);
            }
            lines.append(line);
        }
    }
    return py::str("\n").attr("join")(lines);
}

// What the client answered, as the line the user reads under the refusal.
py::str refusal_detail(const py::handle &answer) { return py::str("Holded: " + holded_words(answer)); }

void show_failure(const py::str &heading, const py::handle &detail) {
    show_popup("popup_error", heading, cut_to_lines(detail), "title"_a = tr("ERROR"), "keep_on_top"_a = true);
}

// The second line of the popup for a request that failed: no connection or no answer in time,
// an answer that is not the JSON the client reads, or Holded's own words (a blocked account, a
// rate limit, a server error). Empty for any other error.
py::object request_failure(py::error_already_set &e) {
    if (e.matches(pymod("json").attr("JSONDecodeError"))) return tr("Holded ha respondido algo que no se puede leer");
    if (e.matches(pymod("requests").attr("exceptions").attr("RequestException")))
        return tr("Holded no responde; compruebe la conexión");
    if (py::type::of(e.value()).is(py::reinterpret_borrow<py::object>(PyExc_RuntimeError))) return py::str(e.value());
    return py::none();
}

// Tells the user what was done, without holding them: through the application's own notices
// when the caller has them, else a popup that closes by itself.
void tell(const py::object &self, const py::str &message) {
    py::str title = tr("Alta nuevo contacto / empresa");
    if (py::hasattr(self, "avisar")) {
        self.attr("avisar")(title, message);
        return;
    }
    show_popup("popup_auto_close", message, "title"_a = title, "auto_close_duration"_a = NOTICE_SECONDS,
               "keep_on_top"_a = true);
}

py::str shown_name(const py::handle &name) { return py::str(name).attr("strip")(); }

// The call log (when the caller object keeps one) learns what the form of the call ended in.
void log_outcome(const py::object &self, const py::object &telefono, const char *what, const py::handle &detail) {
    py::object log = py::getattr(self, "registro", py::none());
    if (!log.is_none()) log.attr("resultado_de")(telefono, what, detail.is_none() ? py::str("") : py::str(detail));
}

// --- the steps of a creation -------------------------------------------------------------------

struct FormValues {
    py::object nombre, apellidos, email, empresa, tipo;
};

FormValues read_form(const py::object &valores) {
    return {valores["-Nombre-"], valores["-Apellidos-"], valores["-Email-"], valores["-Empresa-"], valores["-TIPO-"]};
}

// The contact as the form describes it, before any directory data.
py::dict form_record(const FormValues &form, const py::object &telefono) {
    py::dict nuevo;
    nuevo["socialNetworks"] = py::dict();
    nuevo["billAddress"] = py::dict();
    nuevo["contactPersons"] = py::list();
    if (!is_empty_text(form.empresa))
        nuevo["name"] = form.empresa;
    else
        nuevo["name"] = form.nombre + py::str(" ") + form.apellidos;
    nuevo["email"] = form.email;
    nuevo["mobile"] = telefono;
    nuevo["phone"] = telefono;
    nuevo["socialNetworks"]["website"] = py::str("http://" + WHATSAPP_CHAT) + telefono.attr("replace")(" ", "");
    nuevo["type"] = holded_type(form.tipo);
    nuevo["taxOperation"] = "general";
    nuevo["isperson"] = py::bool_(is_empty_text(form.empresa));
    return nuevo;
}

// The company's data chosen in the directory, put into the record; false when none was chosen.
bool add_directory_data(py::dict &nuevo, const FormValues &form) {
    py::object jsoneinforma = pymod("dirscrape").attr("dirscrape")(form.empresa);
    if (!py::bool_(jsoneinforma)) return false;
    py::object markdown = pymod("markdown");
    py::object legal_name = jsoneinforma.attr("get")("Razón Social");
    // A page without a legal name keeps the name the user typed rather than creating a contact
    // without one.
    if (!legal_name.is_none() && py::len(py::str(legal_name)) > 0) nuevo["name"] = legal_name;
    nuevo["note"] = markdown.attr("markdown")(directory_markdown(jsoneinforma));
    nuevo["vatnumber"] = jsoneinforma.attr("get")("Cif");
    // v1 keeps a contact's NIF/CIF in "code"; "vatnumber" alone may be dropped.
    nuevo["code"] = jsoneinforma.attr("get")("Cif");
    nuevo["email"] = is_empty_text(form.email) ? jsoneinforma.attr("get")("Email") : form.email;
    py::dict direccion;
    direccion["address"] = jsoneinforma.attr("get")("Direccion");
    direccion["city"] = jsoneinforma.attr("get")("Poblacion");
    direccion["country"] = "España";
    direccion["postalCode"] = jsoneinforma.attr("get")("Codpost");
    nuevo["billAddress"] = direccion;
    return true;
}

void add_contact_person(py::dict &nuevo, const FormValues &form, const py::object &telefono) {
    if (is_empty_text(form.nombre)) return;
    py::object surname = is_empty_text(form.apellidos) ? form.empresa : form.apellidos;
    if (is_empty_text(surname)) surname = nuevo["name"];
    py::dict persona;
    persona["name"] = form.nombre + py::str(" ") + surname;
    persona["phone"] = telefono;
    persona["email"] = form.email;
    py::list personas;
    personas.append(persona);
    nuevo["contactPersons"] = personas;
}

// Tells once per run that API v2 could not keep the directory's note, and each time that the
// contact person could not be linked.
void tell_what_was_not_kept(const py::object &apiteam) {
    py::object lost = py::getattr(apiteam, "no_guardado", py::list());
    if (!py::isinstance<py::list>(lost)) return;
    if (lost.contains("note") && !py::hasattr(apiteam, "nota_no_guardada_avisada")) {
        apiteam.attr("nota_no_guardada_avisada") = true;
        show_popup("popup",
                   tr("Con un token de la API v2 Holded no guarda notas: los datos del directorio que no tienen "
                      "campo propio (actividad, provincia, página) no se han guardado."),
                   "title"_a = tr("Alta nuevo contacto / empresa"), "keep_on_top"_a = true);
    }
    if (lost.contains("contactPersons"))
        show_popup("popup_error", tr("No se ha podido vincular la persona de contacto al nuevo contacto"),
                   "title"_a = tr("Alta nuevo contacto / empresa"), "keep_on_top"_a = true);
}

// --- creations whose outcome is unknown --------------------------------------------------------
// A record sent without a clear answer (a time-out, a server error, an unreadable answer, a
// connection lost) may have been stored all the same, and Holded does not refuse a second one.
// The client remembers those numbers; before anything is sent for one again, Holded is asked.

constexpr const char *UNCERTAIN = "altas_inciertas";

py::set uncertain_numbers(const py::object &apiteam) {
    py::object numbers = py::getattr(apiteam, UNCERTAIN, py::none());
    if (!py::isinstance<py::set>(numbers)) {
        numbers = py::set();
        apiteam.attr(UNCERTAIN) = numbers;
    }
    return numbers;
}

// Learns a contact Holded has: the index knows it and the client's page is its page.
void learn(const py::object &apiteam, const py::handle &contact) {
    py::object index = ready_index(apiteam);
    if (!index.is_none()) index.attr("agregar")(contact);
    apiteam.attr("web") = holded_page("contacts", contact[py::str("id")]);
}

// The contact an earlier creation for this number may have made, when Holded has it: opened,
// learnt and told. None when Holded has none; False when Holded could not be asked (told).
py::object created_before(const py::object &self, const py::object &apiteam, const py::object &telefono) {
    py::object found;
    try {
        found = apiteam.attr("Lista")("contacts", telefono);
    } catch (py::error_already_set &e) {
        py::object detail = request_failure(e);
        if (detail.is_none()) throw;
        show_failure(tr("No se ha podido comprobar si el contacto ya se había creado"), detail);
        return py::bool_(false);
    }
    if (!py::isinstance<py::list>(found)) {
        show_failure(tr("No se ha podido comprobar si el contacto ya se había creado"), refusal_detail(found));
        return py::bool_(false);
    }
    for (py::handle contact : found) {
        if (!py::isinstance<py::dict>(contact) || !contact.contains("id")) continue;
        learn(apiteam, contact);
        uncertain_numbers(apiteam).attr("discard")(telefono);
        open_page(apiteam.attr("web"));
        tell(self, tr("El contacto ya se había creado: ") + shown_name(contact.attr("get")("name", "")));
        log_outcome(self, telefono, "creado", contact[py::str("id")]);
        return contact[py::str("id")];
    }
    return py::none();
}

// --- sending ------------------------------------------------------------------------------------

// Sends the record and tells the outcome: the new contact's page and a notice, a notice for a
// creation without an id, or the refusal or failure. Returns what altateam documents.
py::object create(const py::object &self, const py::object &apiteam, const py::dict &nuevo, bool without_directory) {
    py::object answer;
    try {
        answer = apiteam.attr("Nuevo")("contacts", nuevo);
    } catch (py::error_already_set &e) {
        py::object detail = request_failure(e);
        if (detail.is_none()) throw;
        uncertain_numbers(apiteam).add(nuevo["phone"]);
        show_failure(tr("No se ha podido crear el contacto"), detail);
        return py::bool_(false);
    }
    if (created_id(answer, apiteam) || answer.is_none()) uncertain_numbers(apiteam).attr("discard")(nuevo["phone"]);
    if (created_id(answer, apiteam)) {
        py::dict known(nuevo);
        known["id"] = answer;
        learn(apiteam, known);
        open_page(apiteam.attr("web"));
        py::str message = tr("Contacto creado: ") + shown_name(nuevo["name"]);
        if (without_directory) message = message + py::str(" (") + tr("sin datos del directorio") + py::str(")");
        tell(self, message);
        log_outcome(self, nuevo["phone"], "creado", answer);
        tell_what_was_not_kept(apiteam);
    } else if (answer.is_none()) {
        log_outcome(self, nuevo["phone"], "creado", py::none());
        // Holded said "created" without the id: the contact exists but its page is unknown.
        show_popup("popup", tr("Holded ha creado el contacto sin decir cuál es; búsquelo en Holded"),
                   "title"_a = tr("Alta nuevo contacto / empresa"), "keep_on_top"_a = true);
    } else {
        // Refused: there is no page of this contact, and the client's `web` still points at the
        // last record created, so nothing is opened.
        show_failure(tr("No se ha podido crear el contacto"), refusal_detail(answer));
    }
    return answer;
}

}  // namespace

// Whether the client's answer to Nuevo is the id of a contact it has just created: a text, and
// the client's page address is now that contact's (it keeps the last one otherwise).
bool created_id(const py::handle &answer, const py::handle &apiteam) {
    if (!py::isinstance<py::str>(answer) || py::len(answer) == 0) return false;
    py::object web = py::getattr(apiteam, "web", py::none());
    return py::isinstance<py::str>(web) && py::bool_(web.attr("endswith")(py::str("/") + py::str(answer)));
}

bool validatemail(const py::object &text) { return full_match(EMAIL_PATTERN, text); }

bool nameless(const py::object &valores) {
    for (const char *key : {"-Nombre-", "-Apellidos-", "-Empresa-"}) {
        py::object value = valores[py::str(key)];
        if (!py::isinstance<py::str>(value) || py::len(value.attr("strip")()) > 0) return false;
    }
    return true;
}

py::object altateam(const py::object &valores, const py::object &telefono, const py::object &leinforma,
                    const py::object &self) {
    // A contact with no name at all would be a blank in Holded.
    if (nameless(valores)) return py::bool_(false);
    py::object apiteam = self.attr("variable").attr("apiteam");
    if (uncertain_numbers(apiteam).contains(telefono)) {
        py::object before = created_before(self, apiteam, telefono);
        if (!before.is_none()) return before;
    }
    FormValues form = read_form(valores);
    py::dict nuevo = form_record(form, telefono);
    bool without_directory = false;
    if (!is_empty_text(form.empresa) && py::bool_(leinforma)) without_directory = !add_directory_data(nuevo, form);
    add_contact_person(nuevo, form, telefono);

    switch (check_duplicates(apiteam, nuevo, telefono)) {
        case Duplicate::open_existing:
            log_outcome(self, telefono, "existente", py::none());
            return py::none();
        case Duplicate::back:
            return py::bool_(false);
        case Duplicate::none:
        case Duplicate::create_anyway:
            break;
    }
    return create(self, apiteam, nuevo, without_directory);
}

void register_create(py::module_ &m) {
    m.def("validatemail", &validatemail, "text"_a, "Whether the text is one well-formed e-mail address.");
    m.def("altateam", &altateam, "valores"_a, "telefono"_a, "leinforma"_a, "self"_a,
          "Creates the contact of the new-contact form's values, enriched from the company directory "
          "when allowed, and opens its page. When the contact index knows a contact with the same "
          "number, e-mail or tax id, the user chooses first: open it, create anyway or go back. "
          "After a creation for the same number whose outcome was unknown (no answer in time, a "
          "server error, an unreadable answer), Holded is asked for the number first, and a contact "
          "it has is taken as the one created then. Nothing is sent when the first name, surnames "
          "and company are all blank.\n"
          "Returns the new id (created, or found created before: page opened, the user told), None "
          "(created without a known page, or the existing contact opened instead: the form is done), "
          "the API's refusal (shown to the user) or False (nothing sent, or the request failed and "
          "the user was told: the form stays).");
}
