// The new-contact form: shown for a number no contact has; OK hands its values to altateam. Its
// labelled rows and its quick-link searches are here too.
#include "crmprocs.hpp"

#include "fonts.hpp"
#include "text.hpp"
#include "gui.hpp"

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

// The quick-link icons: key, picture and the name their tooltip gives. Each opens every search.
struct QuickLink {
    const char *key, *picture, *name;
};
constexpr QuickLink QUICK_LINKS[] = {{"linkedin-redes-", "linkedin.png", "LinkedIn"},
                                     {"Google-redes-", "google.png", "Google"},
                                     {"Wh-redes-", "whatsapp.png", "WhatsApp"}};

py::list quick_links(const py::object &sg) {
    py::list row;
    for (const QuickLink &link : QUICK_LINKS)
        row.append(sg.attr("Button")("key"_a = link.key, "image_filename"_a = resource_file("img", link.picture),
                                     "tooltip"_a = verbatim(link.name) + py::str(": ") +
                                                   tr("abre las búsquedas en WhatsApp, Google y LinkedIn")));
    return row;
}

py::object contact_frame(const py::object &sg) {
    py::object InfoIn = lookup_function("InfoIn");
    py::list contacto;
    contacto.append(InfoIn(tr("Nombre:"), "-Nombre-"));
    contacto.append(InfoIn(tr("Apellidos:"), "-Apellidos-"));
    contacto.append(InfoIn(tr("Email:"), "-Email-", "enable_events"_a = true));
    // What an address looks like, shown while the typed one would be refused.
    contacto.append(make_list(sg.attr("Text")("", "key"_a = "-EmailAyuda-", "font"_a = fonts::FRAME)));
    return sg.attr("Frame")(tr("CONTACTO"), contacto, "font"_a = fonts::FRAME);
}

py::list buttons_row(const py::object &sg) {
    py::object background = sg.attr("theme_background_color")();
    return make_list(
        sg.attr("Button")(tr("Cancelar"), "key"_a = "Cancelar"), sg.attr("Text")("   "),
        sg.attr("Button")(tr("OK"), "font"_a = fonts::HEADING, "expand_x"_a = true, "bind_return_key"_a = true),
        sg.attr("Text")(tr("Nuevo REGISTRO usando IA")),
        sg.attr("Button")("", "image_data"_a = py::bytes(switch_picture(true)), "key"_a = "-TOGGLE-GRAPHIC-",
                          "button_color"_a = py::make_tuple(background, background), "border_width"_a = 0,
                          "tooltip"_a = tr("ON: la empresa se busca en el directorio de empresas y sus datos se "
                                           "añaden al contacto. OFF: no se consulta el directorio.")));
}

py::list build_layout(const py::object &sg, const py::object &telefono) {
    py::list options;
    for (const ContactType &type : CONTACT_TYPES) options.append(type.shown);
    py::object InfoIn = lookup_function("InfoIn");
    py::list empresa;
    empresa.append(InfoIn(tr("Empresa:"), "-Empresa-"));

    py::list layout;
    layout.append(make_list(sg.attr("Text")(tr("PULSE Redes Busqueda adicional"), "font"_a = fonts::HEADING)));
    layout.append(quick_links(sg));
    layout.append(make_list(
        sg.attr("Text")(tr("Telefono ") + shown_number(telefono) + tr(" no encontrado"), "font"_a = fonts::HEADING)));
    layout.append(make_list(contact_frame(sg)));
    layout.append(make_list(sg.attr("Text")(tr("Tipo de Contacto:"), "font"_a = fonts::HEADING),
                            sg.attr("Combo")(options, "default_value"_a = options[0], "size"_a = py::make_tuple(15, 1),
                                             "key"_a = "-TIPO-", "font"_a = fonts::HEADING)));
    layout.append(make_list(sg.attr("Frame")(tr("EMPRESA VINCULADA"), empresa, "font"_a = fonts::FRAME)));
    // What the form is missing, or doing, told beside the fields rather than in a popup.
    layout.append(make_list(sg.attr("Text")("", "key"_a = "-AVISO-", "font"_a = fonts::FIELD)));
    layout.append(buttons_row(sg));
    return layout;
}

// Tk decides the focus and the order of Tab; a window it has not built has neither. The form
// opens with the focus in the first name, and Tab goes through the fields before the quick-link
// icons, which come first on the screen: their row goes last in the stacking order Tab follows.
void keyboard_order(const py::object &window) {
    if (py::getattr(window, "TKroot", py::none()).is_none()) return;
    window[py::str(QUICK_LINKS[0].key)].attr("Widget").attr("master").attr("lift")();
    window[py::str("-Nombre-")].attr("set_focus")("force"_a = true);
}

void set_text(const py::object &window, const char *key, const py::object &text) {
    window[py::str(key)].attr("update")(text);
}

// The e-mail field's colour and hint as its text is typed: blue once it is an address, orange
// while a longer text is not; the hint while the text would be refused on OK.
void follow_email(const py::object &window, const py::object &email) {
    bool valid = validatemail(email);
    // Black text is hard to read on blue; the text colour follows the background.
    if (valid)
        window[py::str("-Email-")].attr("update")("background_color"_a = "Blue", "text_color"_a = "white");
    else if (py::len(email) > 5)
        window[py::str("-Email-")].attr("update")("background_color"_a = "orange", "text_color"_a = "black");
    bool refused = !valid && py::len(email) > 1;
    set_text(window, "-EmailAyuda-", refused ? py::object(tr("Formato: nombre@empresa.es")) : py::str(""));
}

// OK: the values are checked, then handed to altateam. True when the form is done.
bool accept(const py::object &window, const py::object &values, const py::object &telefono, bool directory_on,
            const py::object &self) {
    if (nameless(values)) {
        set_text(window, "-AVISO-", tr("Falta el nombre, los apellidos o la empresa: escriba al menos uno"));
        return false;
    }
    py::object email = values["-Email-"];
    if (!validatemail(email) && py::len(email) > 1) {
        set_text(window, "-AVISO-", py::str(""));
        show_popup("Popup", tr("Revise campo email"), "title"_a = tr("ERROR"), "font"_a = fonts::POPUP);
        return false;
    }
    bool asks_directory = directory_on && py::len(py::str(values["-Empresa-"])) > 0;
    set_text(window, "-AVISO-", asks_directory ? py::object(tr("Buscando en el directorio…")) : py::str(""));
    py::object answer = altateam(values, telefono, py::bool_(directory_on), self);
    // The user may have closed the form meanwhile (the window manager's button is never held).
    if (py::bool_(window.attr("is_closed")())) return true;
    set_text(window, "-AVISO-", py::str(""));
    // A refused or failed creation has been shown to the user; the form stays open with what was
    // typed, to correct and retry or to cancel. None means created without a known page: done, a
    // retry would make a second contact.
    return answer.is_none() || created_id(answer, self.attr("variable").attr("apiteam"));
}

// One layout row of the form: a right-aligned caption and its text field (crmprocs.InfoIn).
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

// The quick links: the caller's WhatsApp chat, a search of the number, and LinkedIn searches of
// the names typed (crmprocs.blink).
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

py::object alta(const py::object &self, const py::object &telefono) {
    py::object sg = toolkit();
    py::object cvariables = self.attr("variable").attr("cvariables");
    ScopedWindow window(sg.attr("Window")(tr("Alta nuevo contacto / empresa"), build_layout(sg, telefono),
                                          "icon"_a = window_icon(), "force_toplevel"_a = true, "finalize"_a = true));
    try {
        window->attr("bind")("<Escape>", "Cancelar");
        keyboard_order(*window);
    } catch (py::error_already_set &e) {
        // Closed already while it was being shown (the window manager's button is never held):
        // there is nothing left to bind or focus, and the read below says so.
        if (!e.matches(pymod("tkinter").attr("TclError"))) throw;
    }
    AutoClose auto_close(cvariables);
    py::object timeout_event = py::getattr(sg, "TIMEOUT_KEY", py::str("__TIMEOUT__"));
    bool directory_on = true;
    while (true) {
        auto [event, values] = read_event(*window, auto_close.next_timeout());
        if (auto_close.expired(event, values, timeout_event)) break;
        if (event.is_none() || event.equal(py::str("Cancelar"))) break;
        if (py::isinstance<py::str>(event) && py::bool_(event.attr("endswith")("-redes-"))) {
            lookup_function("blink")(values, telefono);
        } else if (event.equal(py::str("-TOGGLE-GRAPHIC-"))) {
            directory_on = !directory_on;
            (*window)["-TOGGLE-GRAPHIC-"].attr("update")("image_data"_a = py::bytes(switch_picture(directory_on)));
        } else if (event.equal(py::str("-Email-"))) {
            follow_email(*window, values["-Email-"]);
        } else if (event.equal(py::str("OK")) || event.equal(tr("OK"))) {
            if (accept(*window, values, telefono, directory_on, self)) break;
        }
    }
    window.close();
    return py::none();
}

void register_form(py::module_ &m) {
    m.def("blink", &blink, "valores"_a, "telefono"_a, "Opens the WhatsApp, Google and LinkedIn searches for a caller.");
    m.def("InfoIn", &InfoIn, "text"_a, "key"_a, "enable_events"_a = false,
          "One layout row: a right-aligned caption and its text field.");
    m.def("alta", &alta, "self"_a, "telefono"_a,
          "Opens the new-contact form for a number no contact has and creates the contact on OK.");
}
