// "Añadir a un contacto", from the recent-calls window: the number of a call goes into a contact
// that exists, picked by typing part of its name (from the contact index), in its empty mobile
// or phone field; when both hold numbers the user chooses which to replace, never silently. The
// contact is read and updated off the GUI thread, and the index learns the number at once.
#include "phonewatch.hpp"

#include "failure.hpp"
#include "gui.hpp"
#include "services.hpp"

#include <vector>

namespace {

// Contacts offered while the user types part of a name.
constexpr int NAMES_SHOWN = 50;

// The contacts whose name holds what is typed, each line told apart when two share a name.
struct Choices {
    py::list lines;
    std::vector<py::object> contacts;

    void fill(const py::list &found) {
        lines = py::list();
        contacts.clear();
        for (py::handle contact : found) {
            py::str line = contact[py::str("name")];
            for (int copy = 2; lines.contains(line); ++copy)
                line = py::str("{} ({})").format(contact[py::str("name")], copy);
            lines.append(line);
            contacts.push_back(py::reinterpret_borrow<py::object>(contact));
        }
    }

    py::object chosen(const py::object &selection) const {
        if (!py::isinstance<py::list>(selection) || py::len(selection) == 0) return py::none();
        py::object position = lines.attr("index")(selection[py::int_(0)]);
        return contacts[position.cast<std::size_t>()];
    }
};

py::list picker_layout(const py::object &sg) {
    py::list layout;
    layout.append(make_list(sg.attr("Text")(tr("Escriba parte del nombre del contacto:"))));
    layout.append(make_list(sg.attr("Input")("key"_a = "-NOMBRE-", "enable_events"_a = true, "focus"_a = true,
                                             "size"_a = py::make_tuple(50, 1))));
    layout.append(make_list(sg.attr("Listbox")(py::list(), "key"_a = "-ELEGIDO-", "size"_a = py::make_tuple(50, 10))));
    layout.append(make_list(sg.attr("Button")(tr("Añadir"), "key"_a = "-ANADIR-"),
                            sg.attr("Button")(tr("Cancelar"), "key"_a = "-CANCELAR-")));
    return layout;
}

// The contact the user picks by name; None when they give up.
py::object pick_contact(const py::object &index) {
    py::object sg = toolkit();
    ScopedWindow window(sg.attr("Window")(tr("Añadir a un contacto"), picker_layout(sg), "icon"_a = window_icon(),
                                          "modal"_a = true, "return_keyboard_events"_a = true));
    Choices choices;
    while (true) {
        auto [read, values] = read_event(*window);
        std::string event = py::isinstance<py::str>(read) ? read.cast<std::string>() : std::string();
        if (read.is_none() || event == "-CANCELAR-" || is_escape(event)) return py::none();
        if (event == "-NOMBRE-") {
            choices.fill(index.attr("nombres")(values[py::str("-NOMBRE-")], NAMES_SHOWN));
            (*window)["-ELEGIDO-"].attr("update")("values"_a = choices.lines);
        } else if (event == "-ANADIR-" || is_enter(event)) {
            py::object contact = choices.chosen(values[py::str("-ELEGIDO-")]);
            if (!contact.is_none()) return contact;
        }
    }
}

bool blank(const py::object &value) { return value.is_none() || py::len(py::str(value).attr("strip")()) == 0; }

// Which field takes the number: the empty one (mobile first), else the one the user chooses to
// replace; "" when the user keeps both.
std::string field_for(const py::dict &record) {
    if (blank(record.attr("get")("mobile"))) return "mobile";
    if (blank(record.attr("get")("phone"))) return "phone";
    py::object sg = toolkit();
    py::list layout;
    layout.append(make_list(sg.attr("Text")(tr("El contacto ya tiene móvil y teléfono. ¿Cuál se sustituye?"))));
    layout.append(make_list(sg.attr("Button")(tr("Móvil ({})").attr("format")(record["mobile"]), "key"_a = "mobile"),
                            sg.attr("Button")(tr("Teléfono ({})").attr("format")(record["phone"]), "key"_a = "phone"),
                            sg.attr("Button")(tr("Cancelar"), "key"_a = "-CANCELAR-")));
    ScopedWindow window(sg.attr("Window")(tr("Añadir a un contacto"), layout, "icon"_a = window_icon(),
                                          "modal"_a = true, "return_keyboard_events"_a = true));
    while (true) {
        py::object event = read_event(*window).first;
        std::string name = py::isinstance<py::str>(event) ? event.cast<std::string>() : std::string();
        if (name == "mobile" || name == "phone") return name;
        if (event.is_none() || name == "-CANCELAR-" || is_escape(name)) return "";
    }
}

py::object ready_index(const py::object &client) {
    py::object index = py::getattr(client, "indice", py::none());
    if (index.is_none() || !py::bool_(py::getattr(index, "listo", py::bool_(false)))) return py::none();
    return index;
}

void say(const py::object &window, const py::str &text) { window[py::str("-ESTADO-")].attr("update")(text); }

// The contact as Holded has it now, or None when it could not be read (told).
py::object read_contact(const py::object &window, const py::object &client, const py::object &id) {
    py::object record = off_the_gui_thread(window, tr("Leyendo el contacto en Holded..."),
                                           [client, id] { return client.attr("Info")("contacts", id); });
    if (py::isinstance<py::dict>(record) && record.contains("id")) return record;
    say(window, tr("Holded no ha dado el contacto: ") + py::str(holded_words(record)));
    return py::none();
}

}  // namespace

void add_number_to_contact(const py::object &self, const py::object &window, const py::dict &call) {
    py::object client = self.attr("variable").attr("apiteam");
    py::object index = ready_index(client);
    if (index.is_none()) return say(window, tr("Los contactos aún no se han leído de Holded; inténtelo en un momento"));
    py::object chosen = pick_contact(index);
    if (chosen.is_none()) return;
    py::object id = chosen[py::str("id")];
    py::str number = call["numero"], name = chosen[py::str("name")];
    try {
        py::object record = read_contact(window, client, id);
        if (record.is_none()) return;
        std::string field = field_for(record);
        if (field.empty()) return say(window, tr("No se ha cambiado el contacto"));
        py::dict change;
        change[py::str(field)] = number;
        py::object answer = off_the_gui_thread(window, tr("Guardando en Holded..."), [client, id, change] {
            return client.attr("Update")("contacts", id, change);
        });
        if (!py::isinstance<py::str>(answer))
            return say(window, tr("Holded no ha guardado el número: ") + py::str(holded_words(answer)));
        record[py::str(field)] = number;
        index.attr("agregar")(record);
        self.attr("registro").attr("resultado")(call["id"], "anadido", name);
        say(window, tr("Número añadido a {}").attr("format")(name));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        say(window, tr("Holded no ha guardado el número: ") + failure_text(e.value()));
    }
}
