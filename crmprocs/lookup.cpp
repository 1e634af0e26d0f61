// The lookup of a caller among the Holded contacts, the labelled input row of the new-contact
// form and the quick-link searches for a caller.
#include "crmprocs.hpp"
#include "failure.hpp"
#include "released.hpp"

#include <string>

namespace {

bool is_empty_text(const py::handle &value) { return py::isinstance<py::str>(value) && py::len(value) == 0; }

// Holded answers a refused list request with an object ({"status": 401}, {"info": ...}) rather
// than an error status; iterating that would open nonsense pages. Say what it answered instead,
// and what to do about a refused key.
void require_contact_list(const py::object &answer) {
    if (py::isinstance<py::list>(answer)) return;
    std::string detail;
    if (py::isinstance<py::dict>(answer)) {
        py::dict fields = answer;
        py::object status = fields.attr("get")("status");
        if (status.equal(py::int_(401)) || status.equal(py::int_(403)))
            raise_user_error(tr("Holded ha rechazado la clave API: revísela en Configurar"));
        for (const char *name : {"info", "status"}) {
            if (fields.contains(name)) {
                detail = py::str(fields[name]).cast<std::string>();
                break;
            }
        }
    }
    if (detail.empty()) detail = py::str(py::repr(answer)).cast<std::string>().substr(0, 80);
    raise_user_error(std::string(tr("Respuesta inesperada de Holded: ")) + detail);
}

// The contacts with this number: from the contact index when it knows the number (no request),
// else from Holded's exact filters, whose finds the index learns.
py::list find_contacts(const py::object &apiteam, const py::object &ntelf) {
    py::object index = py::getattr(apiteam, "indice", py::none());
    bool ready = !index.is_none() && py::bool_(py::getattr(index, "listo", py::bool_(false)));
    if (ready) {
        py::list known = index.attr("buscar")(ntelf);
        if (py::len(known) > 0) return known;
    }
    py::object contacto = apiteam.attr("Lista")("contacts", ntelf);
    require_contact_list(contacto);
    if (ready)
        for (py::handle contact : contacto) index.attr("agregar")(contact);
    return contacto;
}

py::object buscateam(py::object self, py::object ntelf, py::object tray) {
    // No number, or an empty one: an empty filter would list every contact and open them all.
    if (ntelf.is_none() || is_empty_text(ntelf)) return py::none();

    py::list contacto = find_contacts(self.attr("variable").attr("apiteam"), ntelf);
    py::list names;
    for (py::handle a : contacto) {
        // A record without an id has no page to open.
        if (!py::isinstance<py::dict>(a) || !a.contains("id")) continue;
        open_page(contact_page_url(a[py::str("id")]));
        py::object name = a.attr("get")("name");
        if (py::isinstance<py::str>(name) && py::len(name) > 0) names.append(name);
    }
    bool lcrear = py::len(contacto) < 1;

    if (!tray.is_none()) {
        py::str message = tr("Telefono ") + py::str(ntelf);
        // The caller by name, when known.
        if (py::len(names) > 0) message = py::str(message + py::str("\n") + py::str(", ").attr("join")(names));
        show_notice(tray, tr("Verificando"), message, "SYSTEM_TRAY_MESSAGE_ICON_INFORMATION");
    }

    if (lcrear) py::module_::import("crmprocs").attr("alta")(self, ntelf);
    return py::none();
}

py::list InfoIn(py::object text, py::object key, py::object enable_events) {
    py::object sg = toolkit();
    py::list row;
    row.append(sg.attr("Text")(text, "size"_a = py::make_tuple(0, 0), "justification"_a = "r", "font"_a = "Any 14",
                               "expand_x"_a = 10));
    row.append(sg.attr("Input")("key"_a = key, "size"_a = py::make_tuple(50, 0), "enable_events"_a = enable_events));
    return row;
}

// The number in international digits, as the chat address wants it: a national number (nine
// characters or fewer) gets the Spanish prefix, a "+" or "00" number keeps its own.
std::string whatsapp_number(const py::str &telefono) {
    std::string text = py::str(telefono.attr("replace")(" ", "")).cast<std::string>();
    std::string digits;
    for (char c : text)
        if (c >= '0' && c <= '9') digits += c;
    bool international = !text.empty() && text[0] == '+';
    if (!international && text.rfind("00", 0) == 0 && text.size() > 9) {
        international = true;
        digits = digits.substr(2);
    }
    if (!international && py::len(telefono.attr("replace")(" ", "")) <= 9) return HOME_COUNTRY_PREFIX + digits;
    return digits;
}

// Names go into the query as typed, except the two characters that would end the keywords
// early: "&" starts another parameter and "#" a fragment.
py::str query_text(const py::object &text) {
    return py::str(py::str(text).attr("replace")("&", "%26").attr("replace")("#", "%23"));
}

py::object blink(py::object valores, py::object telefono) {
    py::str number(telefono);
    open_page(py::str(std::string(WHATSAPP_CHAT_URL) + whatsapp_number(number)), 2, false);
    open_page(py::str(GOOGLE_SEARCH_URL) + number.attr("replace")(" ", ""), 2, true);

    py::object nombre = valores[py::str("-Nombre-")];
    py::object apellidos = valores[py::str("-Apellidos-")];
    py::object empresa = valores[py::str("-Empresa-")];
    if (py::len(py::str(nombre) + py::str(apellidos)) > 0)
        open_page(py::str(LINKEDIN_SEARCH_URL) + query_text(nombre) + py::str("%20") + query_text(apellidos) +
                      py::str(LINKEDIN_SEARCH_ORIGIN),
                  2, true);
    if (py::len(py::str(empresa)) > 0)
        open_page(py::str(LINKEDIN_SEARCH_URL) + query_text(empresa) + py::str(LINKEDIN_SEARCH_ORIGIN), 2, true);
    return py::none();
}

}  // namespace

py::str contact_page_url(const py::handle &id) {
    return py::str(service_url("HOLDED_APP_URL", "https://app.holded.com/") + "contacts/" + py::str(id).cast<std::string>());
}

void register_lookup(py::module_ &m) {
    m.def("blink", &blink, "valores"_a, "telefono"_a, "Opens the WhatsApp, Google and LinkedIn searches for a caller.");
    m.def("InfoIn", &InfoIn, "text"_a, "key"_a, "enable_events"_a = false,
          "One layout row: a right-aligned caption and its text field.");
    m.def("buscateam", &buscateam, "self"_a, "ntelf"_a, "tray"_a = py::none(),
          "Opens the page of every contact with this number, else the new-contact form.");
}
