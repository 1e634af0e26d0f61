#include "contacts.hpp"
#include "services.hpp"

namespace {

bool has_id(const py::handle &contact) { return py::isinstance<py::dict>(contact) && contact.contains("id"); }

}  // namespace

void open_contact_pages(const py::handle &contacts) {
    std::size_t opened = 0;
    for (py::handle contact : contacts) {
        if (!has_id(contact)) continue;  // no page to open
        if (opened++ == MAX_PAGES_PER_CALL) break;
        open_page(holded_page("contacts", contact[py::str("id")]));
    }
}

py::str contact_names(const py::handle &contacts) {
    py::list shown;
    std::size_t known = 0, named = 0;
    for (py::handle contact : contacts) {
        if (!has_id(contact)) continue;
        ++known;
        py::object name = contact.attr("get")("name");
        bool has_name = py::isinstance<py::str>(name) && py::len(name) > 0;
        named += has_name;
        if (has_name && py::len(shown) < MAX_PAGES_PER_CALL) shown.append(name);
    }
    if (named == 0) return py::str("");
    py::str line = py::str(", ").attr("join")(shown);
    std::size_t rest = known - py::len(shown);
    if (rest > 0) line = py::str(line + py::str(" ") + py::str(tr("y {} más").attr("format")(rest)));
    return line;
}

py::str caller_notice(const py::handle &number, const py::handle &contacts) {
    py::str message = tr("Telefono ") + py::str(number);
    py::str names = contact_names(contacts);
    if (py::len(names) > 0) message = py::str(message + py::str("\n") + names);
    return message;
}
