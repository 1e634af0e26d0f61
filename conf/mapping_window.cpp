// The free-field mapping window: pairs Holded free fields with available data fields and, on
// "Aplicar", puts the new pairs in front of the mapping kept in cvariables["camposlibres"].
#include "windows.hpp"

#include "failure.hpp"

namespace {

// A new list with the items of `items`: the lists handed to the window are snapshots, not the
// attribute itself.
py::list copy_of(const py::handle &items) {
    PyObject *copy = PySequence_List(items.ptr());
    if (copy == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::list>(copy);
}

// One entry of the mapping text: ` "A|B|C" , `.
py::str mapping_entry(const py::handle &recorded, const py::handle &field) {
    return py::str(" \"{}|{}|{}\" , ").format(recorded[py::int_(0)], recorded[py::int_(1)], field);
}

py::object unircamposlibre(py::object self) {
    py::object actualizo = py::str("");
    py::object presentacion = self.attr("presentacioncamposlibre");
    py::object listalibre = self.attr("listalibre");
    py::object jsoneinforma = self.attr("jsoneinforma");
    py::object sg = toolkit();

    py::list col1, col2, layout;
    col1.append(py::make_tuple(sg.attr("Text")(tr("Seleccione Campo Holded"))));
    col1.append(py::make_tuple(sg.attr("Listbox")(copy_of(listalibre), "size"_a = py::make_tuple(35, 15),
                                                  "key"_a = "-LIBRETEAM-", "enable_events"_a = false)));
    col2.append(py::make_tuple(sg.attr("Text")(tr("Seleccione Campo disponible IA"))));
    col2.append(py::make_tuple(sg.attr("Listbox")(copy_of(jsoneinforma.attr("keys")()), "size"_a = py::make_tuple(35, 15),
                                                  "key"_a = "-EI-", "enable_events"_a = true)));
    layout.append(py::make_tuple(sg.attr("Column")(col1), sg.attr("VSeparator")(), sg.attr("Column")(col2)));
    layout.append(py::make_tuple(sg.attr("HSeparator")()));
    layout.append(py::make_tuple(sg.attr("Multiline")(presentacion, "justification"_a = "center", "key"_a = "-RES-",
                                                      "size"_a = py::make_tuple(78, 10))));
    layout.append(py::make_tuple(sg.attr("HSeparator")()));
    layout.append(py::make_tuple(
        sg.attr("Button")(tr("Unir"), "expand_x"_a = true, "key"_a = "-UNIR-", "size"_a = py::make_tuple(10, 2))));
    layout.append(py::make_tuple(sg.attr("HSeparator")()));
    layout.append(py::make_tuple(
        sg.attr("Button")(tr("Aplicar"), "expand_x"_a = false, "key"_a = "-aplicar-", "size"_a = py::make_tuple(15, 2)),
        sg.attr("Button")(tr("Cancelar"), "expand_x"_a = false, "size"_a = py::make_tuple(10, 1), "key"_a = "-EXIT-")));

    ScopedWindow window(sg.attr("Window")(tr("Asignar Campos disponibles"), layout, "keep_on_top"_a = true,
                                          "icon"_a = window_icon()));
    while (true) {
        auto [event, values] = read_window(*window);
        if (event.is_none() || event.equal(py::str("-EXIT-"))) break;
        if (event.equal(py::str("-aplicar-"))) {
            py::object cvariables = self.attr("cvariables");
            // New pairs first, the earlier mapping after them.
            actualizo = actualizo + cvariables["camposlibres"];
            cvariables["camposlibres"] = py::str(" ") + actualizo + py::str(" ");
            break;
        }
        if (event.equal(py::str("-UNIR-"))) {
            py::object field = first_selected(values["-EI-"]);
            py::object name = first_selected(values["-LIBRETEAM-"]);
            if (field.is_none() || name.is_none()) {
                sg.attr("popup_error")(tr("Error"), tr("Debe seleccionar una columna en cada tabla"), "keep_on_top"_a = true);
                continue;
            }
            presentacion = presentacion + py::str("{} <-- NEW --> {}\n").format(name, field);
            actualizo = actualizo + mapping_entry(self.attr("libreteamleader")[name], field);
            (*window)["-RES-"].attr("update")(presentacion);
            listalibre.attr("remove")(name);
            (*window)["-LIBRETEAM-"].attr("update")("values"_a = copy_of(listalibre));
        }
        // A click in the right list only selects.
    }
    window.close();
    return presentacion;
}

}  // namespace

void register_mapping_window(SettingsClass &cls) {
    cls.def("unircamposlibre", &unircamposlibre,
            "Opens the free-field mapping window; returns the text of its result box.");
}
