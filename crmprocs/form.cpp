// The new-contact form: shown for a number no contact has; OK hands its values to altateam.
#include "crmprocs.hpp"
#include "released.hpp"

#include "embedded_images.hpp"
#include "failure.hpp"
#include "fonts.hpp"

#include <algorithm>
#include <cmath>

namespace {

// The form's text fields, empty when it opens: text in any of them means someone typed.
const char *const TYPED_FIELDS[] = {"-Nombre-", "-Apellidos-", "-Email-", "-Empresa-"};
// Characters of the number shown in the form's heading; a longer one ends in an ellipsis, so that
// the form stays narrower than the screen. The record carries the whole number.
constexpr std::size_t SHOWN_NUMBER_MAX = 30;
// Longest single wait of a read, in milliseconds: the toolkit's timer takes no larger value
// safely, and a longer auto-close time is waited out in several reads.
constexpr double LONGEST_WAIT_MS = 3600.0 * 1000.0;

py::bytes toggle_picture(bool on) { return py::bytes(on ? embedded::TOGGLE_ON_PNG_B64 : embedded::TOGGLE_OFF_PNG_B64); }

// The lookup's helpers are reached through the module at call time, like any caller would.
py::object lookup_function(const char *name) { return pymod("crmprocs").attr(name); }

py::str shown_number(const py::object &telefono) {
    py::str number(telefono);
    if (py::len(number) <= SHOWN_NUMBER_MAX) return number;
    return py::str(number[py::slice(0, SHOWN_NUMBER_MAX - 1, 1)]) + py::str("\u2026");
}

// Whether the form holds anything the user typed or chose.
bool typed_into(const py::object &values) {
    if (!py::isinstance<py::dict>(values)) return false;
    py::dict fields = values;
    for (const char *key : TYPED_FIELDS)
        if (fields.contains(key) && py::len(py::str(fields[key])) > 0) return true;
    return fields.contains("-TIPO-") && !py::object(fields["-TIPO-"]).equal(py::str(CONTACT_TYPES[0].shown));
}

// The form's own auto-close: the time-out of each read, until the user starts using the form.
// (The toolkit's auto_close cannot be called off once the window is open, and it would close a
// form with the user's typing in it.)
class AutoClose {
public:
    explicit AutoClose(const py::object &cvariables) {
        py::object seconds = cvariables["autocierre_tiempo"];
        on_ = py::bool_(cvariables["autocierre"]) && !seconds.is_none();
        if (on_) deadline_ = now() + py::float_(seconds).cast<double>();
    }

    // The time-out for the next read in milliseconds; None: wait for the user.
    py::object next_timeout() {
        if (!on_) return py::none();
        double left_ms = std::max(0.0, (deadline_ - now()) * 1000.0);
        last_wait_ = left_ms <= LONGEST_WAIT_MS;
        return py::int_(static_cast<long long>(std::ceil(std::min(left_ms, LONGEST_WAIT_MS))));
    }

    // Called after each read: true when the form is to close by itself now.
    bool expired(const py::object &event, const py::object &values, const py::object &timeout_event) {
        if (!on_) return false;
        if (!event.equal(timeout_event) || typed_into(values)) {
            on_ = false;  // somebody is using the form: it stays until they close it
            return false;
        }
        return last_wait_;
    }

private:
    static double now() { return pymod("time").attr("monotonic")().cast<double>(); }

    bool on_ = false;
    bool last_wait_ = false;
    double deadline_ = 0;
};

py::list build_layout(const py::object &sg, const py::object &telefono) {
    py::object InfoIn = lookup_function("InfoIn");
    py::list options;
    for (const ContactType &type : CONTACT_TYPES) options.append(type.shown);
    py::object background = sg.attr("theme_background_color")();

    py::list layout;
    layout.append(py::make_tuple(sg.attr("Text")(tr("PULSE Redes Busqueda adicional"), "font"_a = fonts::HEADING)));
    layout.append(py::make_tuple(
        sg.attr("Button")("key"_a = "linkedin-redes-", "image_filename"_a = resource_file("img", "linkedin.png")),
        sg.attr("Button")("key"_a = "Google-redes-", "image_filename"_a = resource_file("img", "google.png")),
        sg.attr("Button")("key"_a = "Wh-redes-", "image_filename"_a = resource_file("img", "whatsapp.png"))));
    layout.append(py::make_tuple(
        sg.attr("Text")(tr("Telefono ") + shown_number(telefono) + tr(" no encontrado"), "font"_a = fonts::HEADING)));
    py::list contacto;
    contacto.append(InfoIn(tr("Nombre:"), "-Nombre-"));
    contacto.append(InfoIn(tr("Apellidos:"), "-Apellidos-"));
    contacto.append(InfoIn(tr("Email:"), "-Email-", "enable_events"_a = true));
    layout.append(py::make_tuple(sg.attr("Frame")(tr("CONTACTO"), contacto, "font"_a = fonts::FRAME)));
    layout.append(
        py::make_tuple(sg.attr("Text")(tr("Tipo de Contacto:"), "font"_a = fonts::HEADING),
                       sg.attr("Combo")(options, "default_value"_a = options[0], "size"_a = py::make_tuple(15, 1),
                                        "key"_a = "-TIPO-", "font"_a = fonts::HEADING)));
    py::list empresa;
    empresa.append(InfoIn(tr("Empresa:"), "-Empresa-"));
    layout.append(py::make_tuple(sg.attr("Frame")(tr("EMPRESA VINCULADA"), empresa, "font"_a = fonts::FRAME)));
    layout.append(py::make_tuple(
        sg.attr("Button")(tr("Cancelar"), "key"_a = "Cancelar"), sg.attr("Text")("   "),
        sg.attr("Button")(tr("OK"), "font"_a = fonts::HEADING, "expand_x"_a = true),
        sg.attr("Text")(tr("Nuevo REGISTRO usando IA")),
        sg.attr("Button")("", "image_data"_a = toggle_picture(true), "key"_a = "-TOGGLE-GRAPHIC-",
                          "button_color"_a = py::make_tuple(background, background), "border_width"_a = 0)));
    // Rows as lists, the way the toolkit documents its layouts.
    py::list rows;
    for (py::handle row : layout) rows.append(py::list(py::reinterpret_borrow<py::tuple>(row)));
    return rows;
}

}  // namespace

py::object alta(const py::object &self, const py::object &telefono) {
    py::object sg = toolkit();
    py::object cvariables = self.attr("variable").attr("cvariables");
    ScopedWindow window(sg.attr("Window")(tr("Alta nuevo contacto / empresa"), build_layout(sg, telefono),
                                          "icon"_a = window_icon(), "force_toplevel"_a = true));
    AutoClose auto_close(cvariables);
    py::object timeout_event = py::getattr(sg, "TIMEOUT_KEY", py::str("__TIMEOUT__"));
    bool directory_on = true;
    while (true) {
        py::tuple read = window->attr("read")("timeout"_a = auto_close.next_timeout());
        py::object event = read[0];
        py::object values = read[1];
        if (auto_close.expired(event, values, timeout_event)) break;
        if (event.is_none() || event.equal(py::str("Cancelar"))) break;
        if (py::isinstance<py::str>(event) && py::bool_(event.attr("endswith")("-redes-"))) {
            lookup_function("blink")(values, telefono);
        } else if (event.equal(py::str("-TOGGLE-GRAPHIC-"))) {
            directory_on = !directory_on;
            (*window)["-TOGGLE-GRAPHIC-"].attr("update")("image_data"_a = toggle_picture(directory_on));
        } else if (event.equal(py::str("-Email-"))) {
            py::object email = values["-Email-"];
            // Black text is hard to read on blue; the text colour follows the background.
            if (validatemail(email))
                (*window)["-Email-"].attr("update")("background_color"_a = "Blue", "text_color"_a = "white");
            else if (py::len(email) > 5)
                (*window)["-Email-"].attr("update")("background_color"_a = "orange", "text_color"_a = "black");
        } else if (event.equal(py::str("OK")) || event.equal(tr("OK"))) {
            py::object email = values["-Email-"];
            if (!validatemail(email) && py::len(email) > 1) {
                show_popup("Popup", tr("Revise campo email"), "title"_a = tr("ERROR"), "font"_a = fonts::POPUP);
            } else {
                py::object answer = altateam(values, telefono, py::bool_(directory_on), self);
                // A refused or failed creation has been shown to the user; the form stays
                // open with what was typed, to correct and retry or to cancel. None means
                // created without a known page: done, a retry would make a second contact.
                if (answer.is_none() || created_id(answer, self.attr("variable").attr("apiteam"))) break;
            }
        }
    }
    window.close();
    return py::none();
}

void register_form(py::module_ &m) {
    m.def("alta", &alta, "self"_a, "telefono"_a,
          "Opens the new-contact form for a number no contact has and creates the contact on OK.");
}
