// The free-field mapping window: pairs Holded free fields with available data fields and, on
// "Aplicar", puts the new pairs in front of the mapping kept in cvariables["camposlibres"].
#include "windows.hpp"

#include "gui.hpp"
#include "settings_file.hpp"

#include <string>

namespace {

// A new list with the items of `items`: the lists handed to the window are snapshots, not the
// attribute itself, which the window changes as pairs are made.
py::list copy_of(const py::handle &items) {
    py::list copy;
    for (py::handle item : items) copy.append(item);
    return copy;
}

// One entry of the mapping text: ` "A|B|C" , ` (the free field's two recorded parts, then the
// data field it is paired with).
std::string mapping_entry(const std::string &first, const std::string &second, const std::string &field) {
    return " \"" + first + "|" + second + "|" + field + "\" , ";
}

// One line of the result box: the free field and the data field it now takes its value from.
std::string result_line(const std::string &name, const std::string &field) {
    return name + " <-- NEW --> " + field + "\n";
}

// The text Python's str() gives a value: the mapping writes ids and names as Python shows them.
std::string text_of(const py::handle &value) { return py::str(value); }

py::list mapping_layout(const py::object &sg, const py::object &self, const py::object &shown) {
    py::list free_fields = make_list(
        make_list(sg.attr("Text")(tr("Seleccione Campo Holded"))),
        make_list(sg.attr("Listbox")(copy_of(self.attr(setting::LISTALIBRE)), "size"_a = py::make_tuple(35, 15),
                                     "key"_a = "-LIBRETEAM-", "enable_events"_a = false)));
    py::list data_fields = make_list(
        make_list(sg.attr("Text")(tr("Seleccione Campo disponible IA"))),
        make_list(sg.attr("Listbox")(copy_of(self.attr(setting::JSONEINFORMA).attr("keys")()),
                                     "size"_a = py::make_tuple(35, 15), "key"_a = "-EI-", "enable_events"_a = true)));
    return make_list(make_list(sg.attr("Column")(free_fields), sg.attr("VSeparator")(), sg.attr("Column")(data_fields)),
                     make_list(sg.attr("HSeparator")()),
                     make_list(sg.attr("Multiline")(shown, "justification"_a = "center", "key"_a = "-RES-",
                                                    "size"_a = py::make_tuple(78, 10))),
                     make_list(sg.attr("HSeparator")()),
                     make_list(sg.attr("Button")(tr("Unir"), "expand_x"_a = true, "key"_a = "-UNIR-",
                                                 "size"_a = py::make_tuple(10, 2))),
                     make_list(sg.attr("HSeparator")()),
                     make_list(sg.attr("Button")(tr("Aplicar"), "expand_x"_a = false, "key"_a = "-aplicar-",
                                                 "size"_a = py::make_tuple(15, 2)),
                               sg.attr("Button")(tr("Cancelar"), "expand_x"_a = false, "size"_a = py::make_tuple(10, 1),
                                                 "key"_a = "-EXIT-")));
}

// The pairs made while the window is open: the lines of its result box and the entries that
// "Aplicar" puts in front of the stored mapping.
struct Pairing {
    py::object shown;   // the result box's text, starting with what the settings held
    std::string added;  // the new mapping entries, in the order they were made
};

// Pairs the free field and the data field selected in the two lists: a line in the result box,
// an entry for the mapping, and the free field leaves its list. Both must be selected.
void pair_selected(const py::object &self, const ScopedWindow &window, const py::object &values, Pairing &pairing) {
    py::object field = first_selected(values["-EI-"]);
    py::object name = first_selected(values["-LIBRETEAM-"]);
    if (field.is_none() || name.is_none()) {
        show_popup("popup_error", tr("Error"), tr("Debe seleccionar una columna en cada tabla"),
                   "keep_on_top"_a = true);
        return;
    }
    pairing.shown = pairing.shown + py::str(result_line(text_of(name), text_of(field)));
    py::object recorded = self.attr(setting::LIBRETEAMLEADER)[name];
    pairing.added += mapping_entry(text_of(recorded[py::int_(0)]), text_of(recorded[py::int_(1)]), text_of(field));
    (*window)["-RES-"].attr("update")(pairing.shown);
    py::object free_fields = self.attr(setting::LISTALIBRE);
    free_fields.attr("remove")(name);
    (*window)["-LIBRETEAM-"].attr("update")("values"_a = copy_of(free_fields));
}

// New pairs first, the earlier mapping after them.
void apply_pairs(const py::object &self, const Pairing &pairing) {
    py::object values = values_of(self);
    values["camposlibres"] = py::str(" ") + (py::str(pairing.added) + values["camposlibres"]) + py::str(" ");
}

py::object unircamposlibre(py::object self) {
    py::object sg = toolkit();
    Pairing pairing{self.attr(setting::PRESENTACION), std::string()};
    ScopedWindow window(sg.attr("Window")(tr("Asignar Campos disponibles"), mapping_layout(sg, self, pairing.shown),
                                          "keep_on_top"_a = true, "icon"_a = window_icon(), "finalize"_a = true));
    // Escape leaves as "Cancelar" does: the pairs made are not applied.
    window->attr("bind")("<Escape>", "-EXIT-");
    while (true) {
        auto [event, values] = read_event(*window);
        if (event.is_none() || event.equal(py::str("-EXIT-"))) break;
        if (event.equal(py::str("-aplicar-"))) {
            apply_pairs(self, pairing);
            break;
        }
        if (event.equal(py::str("-UNIR-"))) pair_selected(self, window, values, pairing);
        // A click in the right list only selects.
    }
    window.close();
    return pairing.shown;
}

}  // namespace

void register_mapping_window(SettingsClass &cls) {
    cls.def("unircamposlibre", &unircamposlibre,
            "Opens the free-field mapping window; returns the text of its result box.");
}
