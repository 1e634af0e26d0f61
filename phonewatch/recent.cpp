// The recent-calls window: the newest calls of the call log, newest first, the same number
// ringing several times in a row shown once with a count, and what can be done with a call
// afterwards: open its contact, create one, add the number to a contact that exists, copy the
// number, log the call in Holded. Requests to Holded run off the GUI thread while the window
// says what it is doing.
#include "phonewatch.hpp"

#include "contacts.hpp"
#include "failure.hpp"
#include "gui.hpp"
#include "services.hpp"
#include <functional>
#include <string>
#include <vector>

namespace {

// The calls the window reads: the newest ones, however many the log holds.
constexpr int PAGE = 200;
// How often the window is redrawn while a request runs in the background.
constexpr double BUSY_REDRAW_SECONDS = 0.05;
const char *const TABLE = "-LLAMADAS-";
const char *const STATUS = "-ESTADO-";

// One line of the window: a run of calls from one number, newest first.
struct Line {
    py::dict call;  // the newest call of the run
    py::list ids;   // every call of the run
};

std::vector<Line> runs_of(const py::list &calls) {
    std::vector<Line> lines;
    for (py::handle item : calls) {
        py::dict call = py::reinterpret_borrow<py::dict>(item);
        if (!lines.empty() && lines.back().call["numero"].equal(call["numero"])) {
            lines.back().ids.append(call["id"]);
            continue;
        }
        lines.push_back({call, make_list(call["id"])});
    }
    return lines;
}

bool known(const Line &line) { return py::len(line.call["contactos"]) > 0; }

py::str names_of(const Line &line) {
    if (!known(line)) return tr("desconocido");
    py::list names;
    for (py::handle contact : line.call["contactos"]) names.append(contact[py::str("name")]);
    return py::str(", ").attr("join")(names);
}

py::str outcome_text(const py::dict &call) {
    std::string outcome = py::str(call["resultado"]);
    py::str detail = call["detalle"];
    if (outcome == "pagina") return tr("página abierta");
    if (outcome == "formulario") return tr("formulario mostrado");
    if (outcome == "creado") return tr("contacto creado");
    if (outcome == "existente") return tr("contacto existente abierto");
    if (outcome == "anadido") return py::str(tr("añadido a ") + detail);
    if (outcome == "corto") return tr("no buscado: número corto");
    if (outcome == "oculto") return tr("no buscado: número oculto");
    if (outcome == "sin_conexion") return py::str(tr("Holded sin conexión: ") + detail);
    return py::str(call["resultado"]);
}

py::list row_of(const Line &line) {
    py::object time = pymod("time");
    py::str when = time.attr("strftime")("%d/%m %H:%M", time.attr("localtime")(line.call["hora"]));
    std::size_t count = py::len(line.ids);
    py::str times = count > 1 ? py::str(std::to_string(count)) : py::str("");
    py::str logged = py::len(line.call["evento"]) > 0 ? py::str(" \u2713") : py::str("");
    return make_list(when, line.call["numero"], names_of(line), times, py::str(outcome_text(line.call) + logged));
}

}  // namespace

py::object off_the_gui_thread(const py::object &window, const py::str &doing, const std::function<py::object()> &work) {
    window[py::str(STATUS)].attr("update")(doing);
    py::list outcome;  // [value] or [None, error]
    auto body = [work, outcome]() mutable {
        try {
            outcome.append(work());
        } catch (py::error_already_set &e) {
            outcome.append(py::none());
            outcome.append(e.value());
        }
    };
    py::object thread = start_daemon(py::cpp_function(body), "recent-calls");
    // Drawn, not read: what is clicked meanwhile waits for the window's next read.
    while (py::bool_(thread.attr("is_alive")())) {
        window.attr("refresh")();
        thread.attr("join")(BUSY_REDRAW_SECONDS);
    }
    if (py::len(outcome) > 1) raise_error(outcome[1]);
    return outcome[0];
}

namespace {

class RecentCalls {
public:
    explicit RecentCalls(const py::object &self) : self_(self) {}
    void run();

private:
    py::object log() const { return self_.attr("registro"); }
    py::object client() const { return self_.attr("variable").attr("apiteam"); }
    void load();
    void say(const py::str &text) { (**window_)[py::str(STATUS)].attr("update")(text); }
    const Line *selected(const py::object &values) const;
    void act(const std::string &event, const Line &line);
    void first_action(const Line &line) { act(known(line) ? "-ABRIR-" : "-CREAR-", line); }
    void log_in_holded(const Line &line);
    void add_to_contact(const Line &line);

    py::object self_;
    std::optional<ScopedWindow> window_;
    std::vector<Line> lines_;
    bool unknown_only_ = false;
};

void RecentCalls::load() {
    lines_ = runs_of(log().attr("recientes")("limite"_a = PAGE, "solo_desconocidos"_a = unknown_only_));
    py::list rows;
    for (const Line &line : lines_) rows.append(row_of(line));
    (**window_)[py::str(TABLE)].attr("update")("values"_a = rows);
}

const Line *RecentCalls::selected(const py::object &values) const {
    py::list rows = values[py::str(TABLE)];
    if (py::len(rows) == 0) return nullptr;
    auto position = rows[0].cast<std::size_t>();
    return position < lines_.size() ? &lines_[position] : nullptr;
}

py::list window_layout(const py::object &sg) {
    py::list headings = make_list(tr("Hora"), tr("Número"), tr("Nombre"), tr("Veces"), tr("Resultado"));
    py::list layout;
    layout.append(
        make_list(sg.attr("Checkbox")(tr("solo desconocidos"), "key"_a = "-DESCONOCIDOS-", "enable_events"_a = true)));
    layout.append(make_list(sg.attr("Table")(
        py::list(), "headings"_a = headings, "key"_a = TABLE, "auto_size_columns"_a = false,
        "col_widths"_a = make_list(11, 16, 26, 6, 30), "num_rows"_a = 15, "justification"_a = "left",
        "select_mode"_a = "browse", "enable_events"_a = true, "expand_x"_a = true, "expand_y"_a = true)));
    py::list buttons;
    const std::pair<py::str, const char *> actions[] = {
        {tr("Abrir en Holded"), "-ABRIR-"},         {tr("Crear contacto"), "-CREAR-"},
        {tr("Añadir a un contacto"), "-ANADIR-"},   {tr("Copiar número"), "-COPIAR-"},
        {tr("Registrar en Holded"), "-REGISTRAR-"}, {tr("Cerrar"), "-CERRAR-"}};
    for (const auto &[text, key] : actions) buttons.append(sg.attr("Button")(text, "key"_a = key));
    layout.append(buttons);
    layout.append(make_list(sg.attr("Text")("", "key"_a = STATUS, "size"_a = py::make_tuple(90, 1))));
    return layout;
}

void RecentCalls::run() {
    py::object sg = toolkit();
    window_.emplace(sg.attr("Window")(tr("Llamadas recientes"), window_layout(sg), "icon"_a = window_icon(),
                                      "return_keyboard_events"_a = true, "resizable"_a = true, "finalize"_a = true));
    (**window_)[py::str(TABLE)].attr("bind")("<Double-Button-1>", "+DOBLE");
    load();
    while (true) {
        auto [read, values] = read_event(**window_);
        std::string event = py::isinstance<py::str>(read) ? read.cast<std::string>() : std::string();
        if (read.is_none() || event == "-CERRAR-" || is_escape(event)) break;
        if (event == "-DESCONOCIDOS-") {
            unknown_only_ = py::bool_(values[py::str("-DESCONOCIDOS-")]);
            load();
            continue;
        }
        const Line *line = selected(values);
        if (line == nullptr) continue;
        Line chosen = *line;
        if (event == std::string(TABLE) + "+DOBLE" || is_enter(event))
            first_action(chosen);
        else
            act(event, chosen);
    }
}

void RecentCalls::act(const std::string &event, const Line &line) {
    py::str number = line.call["numero"];
    if (event == "-ABRIR-") {
        if (!known(line)) return say(tr("Esta llamada no es de ningún contacto de Holded"));
        open_contact_pages(line.call["contactos"]);
    } else if (event == "-CREAR-") {
        pymod("crmprocs").attr("alta")(self_, number);
        load();
    } else if (event == "-COPIAR-") {
        toolkit().attr("clipboard_set")(number);
        say(tr("Número copiado: ") + number);
    } else if (event == "-REGISTRAR-") {
        log_in_holded(line);
    } else if (event == "-ANADIR-") {
        add_to_contact(line);
    }
}

void RecentCalls::log_in_holded(const Line &line) {
    if (!known(line)) return say(tr("Esta llamada no es de ningún contacto de Holded"));
    if (py::len(line.call["evento"]) > 0) return say(tr("Esta llamada ya está registrada en Holded"));
    py::object client = this->client(), contact = line.call["contactos"][py::int_(0)][py::str("id")];
    py::str number = line.call["numero"];
    py::object when = line.call["hora"];
    try {
        py::object event = off_the_gui_thread(**window_, tr("Registrando en Holded..."), [=] {
            return log_call_event(client, contact, number, when.cast<double>());
        });
        if (!py::isinstance<py::str>(event))
            return say(tr("Holded no la ha registrado: ") + py::str(holded_words(event)));
        log().attr("evento")(line.call["id"], event);
        for (Line &shown : lines_)
            if (shown.call["id"].equal(line.call["id"])) shown.call["evento"] = event;
        say(tr("Llamada registrada en Holded"));
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        say(tr("Holded no la ha registrado: ") + failure_text(e.value()));
    }
}

void RecentCalls::add_to_contact(const Line &line) {
    add_number_to_contact(self_, **window_, line.call);
    load();
}

}  // namespace

void recent_calls(const py::object &self) {
    if (py::getattr(self, "registro", py::none()).is_none()) return;
    RecentCalls(self).run();
}
