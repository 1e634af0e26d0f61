// The check against duplicates before a contact is created: the contact index is asked for
// contacts with the new one's number, e-mail or tax id, and the user chooses what to do.
#include "crmprocs.hpp"
#include "fonts.hpp"
#include "gui.hpp"
#include "services.hpp"

#include <algorithm>

namespace {

// Up to this many contacts are listed line by line; more go into a list that scrolls, so that
// the window stays shorter than the screen whatever the number of matches.
constexpr std::size_t LISTED_IN_LINES = 10;
// Characters of a contact's line; a longer name ends in an ellipsis, so that the window stays
// narrower than the screen.
constexpr std::size_t LINE_CHARS_MAX = 90;
// Pages "Abrir existente" opens at the most: a shared number may be on hundreds of contacts.
constexpr std::size_t PAGES_OPENED_MAX = 5;

py::str shared_field(const std::string &what) {
    if (what == "telefono") return tr("el mismo teléfono");
    if (what == "email") return tr("el mismo email");
    return tr("el mismo NIF/CIF");
}

py::str cut_line(const py::str &line) {
    if (py::len(line) <= LINE_CHARS_MAX) return line;
    return py::str(line[py::slice(0, LINE_CHARS_MAX - 1, 1)]) + py::str("\u2026");
}

// "Name (the same telephone, the same e-mail)" for one contact found.
py::str match_line(const py::handle &match) {
    py::list reasons;
    for (py::handle what : match[py::str("coincide")]) reasons.append(shared_field(py::str(what)));
    py::object name = match[py::str("contacto")].attr("get")("name", "");
    return cut_line(py::str(name) + py::str(" (") + py::str(", ").attr("join")(reasons) + py::str(")"));
}

py::list duplicates_layout(const py::object &sg, const py::list &matches) {
    py::list lines;
    for (py::handle match : matches) lines.append(match_line(match));
    py::list layout;
    layout.append(
        make_list(sg.attr("Text")(tr("Ya hay en Holded contactos con estos datos:"), "font"_a = fonts::FIELD)));
    if (py::len(lines) <= LISTED_IN_LINES) {
        for (py::handle line : lines) layout.append(make_list(sg.attr("Text")(line)));
    } else {
        std::size_t width = 0;
        for (py::handle line : lines) width = std::max(width, static_cast<std::size_t>(py::len(line)));
        layout.append(make_list(
            sg.attr("Listbox")(lines, "key"_a = "-COINCIDENCIAS-", "size"_a = py::make_tuple(width, LISTED_IN_LINES))));
    }
    layout.append(make_list(sg.attr("Button")(tr("Abrir existente"), "key"_a = "-ABRIR-"),
                            sg.attr("Button")(tr("Crear de todos modos"), "key"_a = "-CREAR-"),
                            sg.attr("Button")(tr("Volver"), "key"_a = "-VOLVER-")));
    return layout;
}

Duplicate ask_about_duplicates(const py::list &matches) {
    py::object sg = toolkit();
    ScopedWindow window(sg.attr("Window")(tr("Contacto ya existente"), duplicates_layout(sg, matches),
                                          "keep_on_top"_a = true, "modal"_a = true, "icon"_a = window_icon(),
                                          "finalize"_a = true));
    window->attr("bind")("<Escape>", "-VOLVER-");
    py::object read = read_event(*window).first;
    std::string event = py::isinstance<py::str>(read) ? read.cast<std::string>() : std::string();
    if (event == "-ABRIR-") return Duplicate::open_existing;
    if (event == "-CREAR-") return Duplicate::create_anyway;
    // Closing the window (or Escape) creates nothing and loses nothing: back to the form.
    return Duplicate::back;
}

}  // namespace

Duplicate check_duplicates(const py::object &apiteam, const py::dict &nuevo, const py::object &telefono) {
    py::object index = ready_index(apiteam);
    if (index.is_none()) return Duplicate::none;
    py::object tax_id = nuevo.contains("code") ? py::object(nuevo["code"]) : py::none();
    // The e-mail the record carries: the one typed, else the directory's.
    py::object email = nuevo.contains("email") ? py::object(nuevo["email"]) : py::none();
    py::list matches = index.attr("duplicados")("numero"_a = telefono, "email"_a = email, "nif"_a = tax_id);
    if (py::len(matches) == 0) return Duplicate::none;
    Duplicate choice = ask_about_duplicates(matches);
    if (choice == Duplicate::open_existing) {
        std::size_t opened = 0;
        for (py::handle match : matches) {
            if (opened++ == PAGES_OPENED_MAX) break;
            open_page(holded_page("contacts", match[py::str("contacto")][py::str("id")]));
        }
    }
    return choice;
}
