// The e-mail check and the creation of a contact from the new-contact form's values.
#include "crmprocs.hpp"
#include "released.hpp"
#include "failure.hpp"
#include "fonts.hpp"

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

// What the client answered, as the line the user reads under the refusal.
py::str refusal_detail(const py::handle &answer) { return py::str("Holded: " + holded_words(answer)); }

void show_failure(const py::handle &detail) {
    show_popup("popup_error", tr("No se ha podido crear el contacto"), detail, "title"_a = tr("ERROR"),
               "keep_on_top"_a = true);
}

// The second line of the popup for a request that failed: no connection or no answer in time,
// an answer that is not the JSON the client reads, or Holded's own words (a blocked account, a
// rate limit). Empty for any other error.
py::object request_failure(py::error_already_set &e) {
    if (e.matches(pymod("json").attr("JSONDecodeError"))) return tr("Holded ha respondido algo que no se puede leer");
    if (e.matches(pymod("requests").attr("exceptions").attr("RequestException")))
        return tr("Holded no responde; compruebe la conexión");
    if (py::type::of(e.value()).is(py::reinterpret_borrow<py::object>(PyExc_RuntimeError))) return py::str(e.value());
    return py::none();
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
    nuevo["socialNetworks"]["website"] = py::str("http://wa.me/") + telefono.attr("replace")(" ", "");
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
    py::object capellido = is_empty_text(form.apellidos) ? form.empresa : form.apellidos;
    if (is_empty_text(capellido)) capellido = nuevo["name"];
    py::dict persona;
    persona["name"] = form.nombre + py::str(" ") + capellido;
    persona["phone"] = telefono;
    persona["email"] = form.email;
    py::list personas;
    personas.append(persona);
    nuevo["contactPersons"] = personas;
}

// What the user chose about the contacts that already have the record's number, e-mail or tax id.
enum class Duplicate { none, open_existing, create_anyway, back };

py::str shared_field(const std::string &what) {
    if (what == "telefono") return tr("el mismo teléfono");
    if (what == "email") return tr("el mismo email");
    return tr("el mismo NIF/CIF");
}

Duplicate ask_about_duplicates(const py::list &matches) {
    py::object sg = toolkit();
    py::list layout;
    layout.append(
        make_list(sg.attr("Text")(tr("Ya hay en Holded contactos con estos datos:"), "font"_a = fonts::FIELD)));
    for (py::handle match : matches) {
        py::list reasons;
        for (py::handle what : match[py::str("coincide")]) reasons.append(shared_field(py::str(what)));
        py::str line = py::str(match[py::str("contacto")][py::str("name")]) + py::str(" (") +
                       py::str(", ").attr("join")(reasons) + py::str(")");
        layout.append(make_list(sg.attr("Text")(line)));
    }
    layout.append(make_list(sg.attr("Button")(tr("Abrir existente"), "key"_a = "-ABRIR-"),
                            sg.attr("Button")(tr("Crear de todos modos"), "key"_a = "-CREAR-"),
                            sg.attr("Button")(tr("Volver"), "key"_a = "-VOLVER-")));
    ScopedWindow window(sg.attr("Window")(tr("Contacto ya existente"), layout, "keep_on_top"_a = true, "modal"_a = true,
                                          "icon"_a = window_icon()));
    py::tuple read = window->attr("read")();
    std::string event = py::isinstance<py::str>(read[0]) ? read[0].cast<std::string>() : std::string();
    if (event == "-ABRIR-") return Duplicate::open_existing;
    if (event == "-CREAR-") return Duplicate::create_anyway;
    // Closing the window creates nothing and loses nothing: back to the form.
    return Duplicate::back;
}

// Asks the index whether the contact exists already (the number in any format, the typed
// e-mail, the directory's tax id) and lets the user decide; opens the existing contacts' pages
// when that is the choice.
Duplicate check_duplicates(const py::object &apiteam, const py::dict &nuevo, const FormValues &form,
                           const py::object &telefono) {
    py::object index = ready_index(apiteam);
    if (index.is_none()) return Duplicate::none;
    py::object tax_id = nuevo.contains("code") ? py::object(nuevo["code"]) : py::none();
    py::list matches = index.attr("duplicados")("numero"_a = telefono, "email"_a = form.email, "nif"_a = tax_id);
    if (py::len(matches) == 0) return Duplicate::none;
    Duplicate choice = ask_about_duplicates(matches);
    if (choice == Duplicate::open_existing)
        for (py::handle match : matches) open_page(holded_page("contacts", match[py::str("contacto")][py::str("id")]));
    return choice;
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

// Sends the record and tells the outcome: the new contact's page, a notice for a creation
// without an id, or the refusal or failure. Returns what altateam documents.
py::object create(const py::object &apiteam, const py::dict &nuevo) {
    py::object answer;
    try {
        answer = apiteam.attr("Nuevo")("contacts", nuevo);
    } catch (py::error_already_set &e) {
        py::object detail = request_failure(e);
        if (detail.is_none()) throw;
        py::print(e.what());
        show_failure(detail);
        return py::bool_(false);
    }
    if (created_id(answer, apiteam)) {
        py::object index = ready_index(apiteam);
        if (!index.is_none()) {
            py::dict known(nuevo);
            known["id"] = answer;
            index.attr("agregar")(known);
        }
        open_page(apiteam.attr("web"));
        tell_what_was_not_kept(apiteam);
    } else if (answer.is_none()) {
        // Holded said "created" without the id: the contact exists but its page is unknown.
        show_popup("popup", tr("Holded ha creado el contacto sin decir cuál es; búsquelo en Holded"),
                   "title"_a = tr("Alta nuevo contacto / empresa"), "keep_on_top"_a = true);
    } else {
        // Refused: there is no page of this contact, and the client's `web` still points at the
        // last record created, so nothing is opened.
        show_failure(refusal_detail(answer));
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

py::object altateam(const py::object &valores, const py::object &telefono, const py::object &leinforma,
                    const py::object &self) {
    FormValues form = read_form(valores);
    py::dict nuevo = form_record(form, telefono);
    if (!is_empty_text(form.empresa) && py::bool_(leinforma)) add_directory_data(nuevo, form);
    add_contact_person(nuevo, form, telefono);

    py::object apiteam = self.attr("variable").attr("apiteam");
    switch (check_duplicates(apiteam, nuevo, form, telefono)) {
        case Duplicate::open_existing:
            return py::none();
        case Duplicate::back:
            return py::bool_(false);
        case Duplicate::none:
        case Duplicate::create_anyway:
            break;
    }
    return create(apiteam, nuevo);
}

void register_create(py::module_ &m) {
    m.def("validatemail", &validatemail, "text"_a, "Whether the text is one well-formed e-mail address.");
    m.def("altateam", &altateam, "valores"_a, "telefono"_a, "leinforma"_a, "self"_a,
          "Creates the contact of the new-contact form's values, enriched from the company directory "
          "when allowed, and opens its page. When the contact index knows a contact with the same "
          "number, e-mail or tax id, the user chooses first: open it, create anyway or go back.\n"
          "Returns the new id (created, page opened), None (created without a known page, or the "
          "existing contact opened instead: the form is done), the API's refusal (shown to the "
          "user) or False (nothing sent, or the request failed and the user was told: the form "
          "stays).");
}
