// The lookup of a caller among the Holded contacts, the labelled input row of the new-contact
// form and the quick-link searches for a caller.
#include "contacts.hpp"
#include "crmprocs.hpp"
#include "failure.hpp"
#include "fonts.hpp"
#include "text.hpp"
#include "gui.hpp"
#include "services.hpp"

#include <string>

namespace {

// Holded answers a refused list request with an object ({"status": 401}, {"info": ...}) rather
// than an error status; iterating that would open nonsense pages. Say what it answered instead,
// and what to do about a refused key.
void require_contact_list(const py::object &answer) {
    if (py::isinstance<py::list>(answer)) return;
    if (py::isinstance<py::dict>(answer)) {
        py::object status = answer.attr("get")("status");
        if (status.equal(py::int_(401)) || status.equal(py::int_(403)))
            raise_user_error(tr("Holded ha rechazado la clave API: revísela en Configurar"));
    }
    raise_user_error(std::string(tr("Respuesta inesperada de Holded: ")) + holded_words(answer));
}

// The contacts with this number: from the contact index when it knows the number (no request),
// else from Holded's exact filters, whose finds the index learns.
py::list find_contacts(const py::object &apiteam, const py::object &ntelf) {
    py::object index = ready_index(apiteam);
    if (!index.is_none()) {
        py::list known = index.attr("buscar")(ntelf);
        if (py::len(known) > 0) return known;
    }
    py::object contacto = apiteam.attr("Lista")("contacts", ntelf);
    require_contact_list(contacto);
    if (!index.is_none())
        for (py::handle contact : contacto) index.attr("agregar")(contact);
    return contacto;
}

py::list buscar_contactos(py::object self, py::object ntelf) {
    return find_contacts(self.attr("variable").attr("apiteam"), ntelf);
}

// The call log of the caller object, when it keeps one.
py::object call_log(const py::object &self) { return py::getattr(self, "registro", py::none()); }

// The contacts of a lookup, told to the call log with where the number came from (the search
// window, the command line); a failure is noted before it goes on to the caller.
py::list looked_up(const py::object &self, const py::object &ntelf, const py::object &origen) {
    py::object log = call_log(self);
    try {
        py::list contacts = buscar_contactos(self, ntelf);
        if (!log.is_none())
            log.attr("anotar")(ntelf, "origen"_a = origen, "contactos"_a = contacts,
                               "resultado"_a = py::len(contacts) > 0 ? "pagina" : "formulario");
        return contacts;
    } catch (py::error_already_set &e) {
        if (!log.is_none() && e.matches(PyExc_Exception))
            log.attr("anotar")(ntelf, "origen"_a = origen, "resultado"_a = "sin_conexion",
                               "detalle"_a = failure_text(e.value()));
        throw;
    }
}

py::object buscateam(py::object self, py::object ntelf, py::object tray, py::object origen) {
    // No number, or an empty one: an empty filter would list every contact and open them all.
    if (ntelf.is_none() || is_empty_text(ntelf)) return py::none();

    py::list contacto = looked_up(self, ntelf, origen);
    open_contact_pages(contacto);
    if (!tray.is_none())
        show_notice(tray, tr("Verificando"), caller_notice(ntelf, contacto), "SYSTEM_TRAY_MESSAGE_ICON_INFORMATION");

    // Through the module, so that a replaced form (a test's, a user's) is the one opened.
    if (py::len(contacto) < 1) pymod("crmprocs").attr("alta")(self, ntelf);
    return py::none();
}

py::list InfoIn(py::object text, py::object key, py::object enable_events) {
    py::object sg = toolkit();
    py::list row;
    row.append(sg.attr("Text")(text, "size"_a = py::make_tuple(0, 0), "justification"_a = "r", "font"_a = fonts::FIELD,
                               "expand_x"_a = 10));
    row.append(sg.attr("Input")("key"_a = key, "size"_a = py::make_tuple(50, 0), "enable_events"_a = enable_events));
    return row;
}

// Names go into the query as typed, but for the two characters that would end the keywords early.
py::str query_text(const py::object &typed) { return py::str(text::query_safe(py::str(typed).cast<std::string>())); }

py::object blink(py::object valores, py::object telefono) {
    std::string number = py::str(telefono).cast<std::string>();
    open_page(py::str(WHATSAPP_CHAT_URL + text::international_digits(number, HOME_COUNTRY_PREFIX)), 2, false);
    open_page(py::str(GOOGLE_SEARCH_URL + text::without(number, " ")));

    py::str nombre(valores[py::str("-Nombre-")]), apellidos(valores[py::str("-Apellidos-")]);
    py::str empresa(valores[py::str("-Empresa-")]);
    if (py::len(nombre) + py::len(apellidos) > 0)
        open_page(py::str(LINKEDIN_SEARCH_URL) + query_text(nombre) + py::str("%20") + query_text(apellidos) +
                  py::str(LINKEDIN_SEARCH_ORIGIN));
    if (py::len(empresa) > 0)
        open_page(py::str(LINKEDIN_SEARCH_URL) + query_text(empresa) + py::str(LINKEDIN_SEARCH_ORIGIN));
    return py::none();
}

}  // namespace

py::object ready_index(const py::object &apiteam) {
    py::object index = py::getattr(apiteam, "indice", py::none());
    if (index.is_none() || !py::bool_(py::getattr(index, "listo", py::bool_(false)))) return py::none();
    return index;
}

void register_lookup(py::module_ &m) {
    m.def("blink", &blink, "valores"_a, "telefono"_a, "Opens the WhatsApp, Google and LinkedIn searches for a caller.");
    m.def("InfoIn", &InfoIn, "text"_a, "key"_a, "enable_events"_a = false,
          "One layout row: a right-aligned caption and its text field.");
    m.def("buscar_contactos", &buscar_contactos, "self"_a, "ntelf"_a,
          "The contacts with this number: from the contact index when it knows the number (no request),\n"
          "else from Holded's exact filters, whose finds the index learns. Raises when Holded cannot be\n"
          "asked or refuses; never opens a window, so it may run on any thread.");
    m.def("buscateam", &buscateam, "self"_a, "ntelf"_a, "tray"_a = py::none(), "origen"_a = "busqueda",
          "Opens the page of every contact with this number, else the new-contact form.");
}
