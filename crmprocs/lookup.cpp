// The lookup of a caller among the Holded contacts: the contact index, else Holded's filters; the
// pages of the contacts found, else the new-contact form.
#include "contacts.hpp"
#include "crmprocs.hpp"
#include "failure.hpp"
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

}  // namespace

py::object ready_index(const py::object &apiteam) {
    py::object index = py::getattr(apiteam, "indice", py::none());
    if (index.is_none() || !py::bool_(py::getattr(index, "listo", py::bool_(false)))) return py::none();
    return index;
}

void register_lookup(py::module_ &m) {
    m.def("buscar_contactos", &buscar_contactos, "self"_a, "ntelf"_a,
          "The contacts with this number: from the contact index when it knows the number (no request),\n"
          "else from Holded's exact filters, whose finds the index learns. Raises when Holded cannot be\n"
          "asked or refuses; never opens a window, so it may run on any thread.");
    m.def("buscateam", &buscateam, "self"_a, "ntelf"_a, "tray"_a = py::none(), "origen"_a = "busqueda",
          "Opens the page of every contact with this number, else the new-contact form.");
}
