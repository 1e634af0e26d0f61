// The presenter: a thread of its own that looks every call up and shows a known caller at once
// (pages and a notice need no Tk), hands a caller without a contact to the GUI thread's form,
// records every call in the call log, logs calls in Holded when the settings ask for it, keeps
// the contact index between runs, and follows Holded while it cannot be reached.
#include "phonewatch.hpp"

#include "contacts.hpp"
#include "failure.hpp"

#include <ctime>

namespace {

// The presenter's rhythm when no call comes: how often it looks after Holded and the index.
constexpr double PRESENTER_TICK_SECONDS = 1.0;

double wall_now() { return pymod("time").attr("time")().cast<double>(); }

// What a finished probe found; starts the next one when it is due.
void follow_holded(Runtime &runtime) {
    HoldedRetry &state = runtime.holded;
    if (!state.active) return;
    if (!state.probe.is_none()) {
        if (py::bool_(state.probe.attr("is_alive")())) return;
        state.probe = py::none();
        // probar has set these before its thread ended.
        if (py::bool_(state.client.attr("estado"))) {
            state.active = false;
            tell_change(runtime, runtime.status.holded(HoldedLink::connected));
            return;
        }
        if (!py::bool_(py::getattr(state.client, "sin_conexion", py::bool_(false)))) {
            state.active = false;
            tell_change(runtime, runtime.status.holded(HoldedLink::refused));
            return;
        }
        tell_change(runtime, runtime.status.holded(HoldedLink::offline), probe_failure(state.client));
        state.next_try = seconds_from_now(retry_seconds());
    }
    if (Clock::now() >= state.next_try) {
        state.probe = start_daemon(state.client.attr("probar"), "holded-probe");
    }
}

// Starts a background build of the client's contact index when one is due. Never waits for the
// network; not while Holded cannot be reached or refuses the key.
void refresh_index(const py::object &client) {
    if (client.is_none() || !py::bool_(py::getattr(client, "estado", py::bool_(false)))) return;
    py::object index = py::getattr(client, "indice", py::none());
    if (index.is_none()) return;
    try {
        index.attr("revisar")();
    } catch (py::error_already_set &e) {
        if (!e.matches(PyExc_Exception)) throw;
        py::print(py::str(tr("Indice de contactos sin actualizar: ")) + failure_text(e.value()), "flush"_a = true);
    }
}

// Whether a failed lookup says that Holded cannot be reached (rather than that it answered
// something unexpected).
bool unreachable(py::error_already_set &e) {
    py::object exceptions = pymod("requests").attr("exceptions");
    return e.matches(exceptions.attr("ConnectionError")) || e.matches(exceptions.attr("Timeout"));
}

// The key the client speaks with, as a fingerprint: another key never uses another account's
// index, and the key itself is never kept.
py::str key_fingerprint(const py::object &client) {
    py::dict headers = client.attr("headers");
    py::object key = headers.contains("key") ? py::object(headers["key"]) : py::object(headers["Authorization"]);
    py::object digest = pymod("hashlib").attr("sha256")(py::str(key).attr("encode")("utf-8"));
    return py::str(digest.attr("hexdigest")())[py::slice(0, 32, 1)];
}

struct Presenter {
    py::object self;
    std::string restored;           // the fingerprint whose kept index was looked for
    py::object saved = py::none();  // when the index last kept was read

    py::object client() const { return self.attr("variable").attr("apiteam"); }
    py::object log() const { return py::getattr(self, "registro", py::none()); }
    py::object settings() const { return self.attr("variable").attr("cvariables"); }

    // Records a call and what happened with it; its id in the log (None without a log).
    py::object note(const py::str &number, const py::str &source, const py::list &contacts, const char *outcome,
                    const py::str &detail = py::str("")) {
        py::object calls = log();
        if (calls.is_none()) return py::none();
        return calls.attr("anotar")(number, py::none(), source, contacts, outcome, detail);
    }

    // A number searched by hand or given at start is no call: it is named as the search window does.
    void tell_caller(Runtime &runtime, const py::str &number, const py::str &source, const py::str &why) {
        bool rang = source.equal(py::str("telefono")) || source.equal(py::str("ultimo"));
        post_notice(runtime, tr("Verificando"),
                    rang ? py::str(tr("Llamada de {}: {}").attr("format")(number, why))
                         : py::str(tr("Telefono ") + number + py::str(": ") + why));
    }

    void show_known(Runtime &runtime, const py::str &number, const py::str &source, const py::list &contacts) {
        open_contact_pages(contacts);
        post_notice(runtime, tr("Verificando"), caller_notice(number, contacts));
        py::object call = note(number, source, contacts, "pagina");
        if (py::bool_(settings().attr("get")("registrar_llamadas", false))) log_in_holded(call, number, contacts);
    }

    // The call as a CRM event of the first contact in Holded, when the settings ask for every call
    // of a known caller; its id goes into the log, so that the call is never logged twice.
    void log_in_holded(const py::object &call, const py::str &number, const py::list &contacts) {
        if (py::len(contacts) == 0 || !py::hasattr(client(), "Evento")) return;
        try {
            py::object event = log_call_event(client(), contacts[0][py::str("id")], number, wall_now());
            if (py::isinstance<py::str>(event) && !call.is_none()) log().attr("evento")(call, event);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            py::print(py::str(tr("Llamada no registrada en Holded: ")) + failure_text(e.value()), "flush"_a = true);
        }
    }

    // Contacts the index knows for the number, without a request; empty when it cannot say.
    py::list indexed(const py::str &number) {
        py::object index = py::getattr(client(), "indice", py::none());
        if (index.is_none() || !py::bool_(py::getattr(index, "listo", py::bool_(false)))) return py::list();
        return index.attr("buscar")(number);
    }

    void present(Runtime &runtime, const py::str &number, const py::str &source) {
        py::list known = indexed(number);
        if (py::len(known) > 0) return show_known(runtime, number, source, known);
        // A refused key needs the user; an unreachable Holded may be back already, and a lookup
        // off the GUI thread costs only its own wait.
        if (runtime.status.view().holded == HoldedLink::refused) {
            py::str why = tr("Holded ha rechazado la clave API");
            note(number, source, py::list(), "sin_conexion", why);
            return tell_caller(runtime, number, source, why);
        }
        py::list contacts;
        try {
            contacts = pymod("crmprocs").attr("buscar_contactos")(self, number);
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            return lookup_failed(runtime, number, source, e);
        }
        holded_answered(runtime);
        if (py::len(contacts) > 0) return show_known(runtime, number, source, contacts);
        tell_caller(runtime, number, source, tr("no está en Holded"));
        note(number, source, py::list(), "formulario");
        runtime.forms.push(number.cast<std::string>());
        wake_gui(runtime);
    }

    // Holded answered a lookup: it is back, if it was lost.
    void holded_answered(Runtime &runtime) {
        Change change = runtime.status.holded(HoldedLink::connected);
        if (change == Change::none) return;
        runtime.holded.active = false;
        tell_change(runtime, change);
    }

    // Holded did not answer: the status says so and the probe is retried until it does; any
    // other failure has the probe tried at once, which tells a refused key from a passing fault.
    void lookup_failed(Runtime &runtime, const py::str &number, const py::str &source, py::error_already_set &e) {
        py::str why = failure_text(e.value());
        tell_caller(runtime, number, source, why);
        note(number, source, py::list(), "sin_conexion", why);
        bool offline = unreachable(e);
        if (offline) tell_change(runtime, runtime.status.holded(HoldedLink::offline), why);
        if (!runtime.holded.active) holded_offline(runtime.holded, client(), !offline);
    }

    // "Ultimo Telefono": the last call taken in this turn, else what the handset shows now.
    void again(Runtime &runtime) {
        std::string last = runtime.last_number();
        py::str number(last);
        py::object app = self.attr("app");
        if (last.empty() && !app.is_none()) {
            try {
                number = procetlf(clean_number(active_number(app)));
            } catch (py::error_already_set &e) {
                if (!e.matches(PyExc_Exception)) throw;
            }
        }
        if (has_digit(number)) return present(runtime, number, py::str("ultimo"));
        post_notice(runtime, tr("Ultimo Telefono"), tr("No hay ningún número para volver a buscar"));
    }

    // The index kept for the client's key, taken at once while younger than its hours (also while
    // Holded cannot be reached): callers are known from the first ring. An older one is not
    // trusted: Holded is read again in the background, as at a first start.
    void restore_index() {
        py::object index = py::getattr(client(), "indice", py::none());
        if (index.is_none() || log().is_none() || !py::bool_(py::getattr(index, "activo", py::bool_(false)))) return;
        std::string fingerprint = key_fingerprint(client());
        if (fingerprint == restored) return;
        restored = fingerprint;
        if (py::bool_(index.attr("listo"))) return;
        py::object kept = log().attr("leer_indice")(fingerprint);
        if (kept.is_none()) return;
        double age = wall_now() - kept[py::int_(0)].cast<double>();
        if (age > index.attr("horas").cast<double>() * 3600) return;
        index.attr("importar")(kept[py::int_(1)], kept[py::int_(0)]);
        saved = kept[py::int_(0)];
    }

    // A new reading of the index is kept for the next run.
    void keep_index() {
        py::object index = py::getattr(client(), "indice", py::none());
        if (index.is_none() || log().is_none() || py::bool_(py::getattr(index, "leyendo", py::bool_(true)))) return;
        py::object read_at = py::getattr(index, "leido", py::none());
        if (read_at.is_none() || read_at.equal(saved)) return;
        log().attr("guardar_indice")(key_fingerprint(client()), read_at, index.attr("exportar")());
        saved = read_at;
    }

    // One call, or the work of a quiet moment.
    void serve(Runtime &runtime, const py::object &item) {
        try {
            restore_index();
            if (py::isinstance<py::tuple>(item)) {
                py::str number(item[py::int_(0)]);
                if (py::len(number) == 0)
                    again(runtime);
                else
                    present(runtime, number, py::str(item[py::int_(1)]));
            }
            follow_holded(runtime);
            refresh_index(client());
            keep_index();
        } catch (py::error_already_set &e) {
            // A fault of one call must not end the presentation of the next ones.
            if (!e.matches(PyExc_Exception)) throw;
            py::print(py::str("presenter: ") + failure_text(e.value()), "flush"_a = true);
        }
    }
};

}  // namespace

py::object log_call_event(const py::object &client, const py::handle &contact, const py::str &number, double when) {
    py::object time = pymod("time");
    py::object local = time.attr("localtime")(when);
    py::str name = tr("Llamada de {}").attr("format")(number);
    py::str description =
        tr("Llamada recibida el {} a las {} desde el {}")
            .attr("format")(time.attr("strftime")("%d/%m/%Y", local), time.attr("strftime")("%H:%M", local), number);
    return client.attr("Evento")(contact, name, when, description);
}

void run_presenter(const std::weak_ptr<Runtime> &weak, const py::object &self, const py::object &calls,
                   const py::object &stop) {
    Presenter presenter{self, std::string(), py::none()};
    py::object empty = pymod("queue").attr("Empty");
    while (!py::bool_(stop.attr("is_set")())) {
        py::object item = py::none();
        try {
            item = calls.attr("get")("timeout"_a = PRESENTER_TICK_SECONDS);
        } catch (py::error_already_set &e) {
            if (!e.matches(empty)) throw;
        }
        if (py::bool_(stop.attr("is_set")())) return;
        auto runtime = weak.lock();
        if (!runtime) return;
        presenter.serve(*runtime, item);
    }
}

void holded_offline(HoldedRetry &state, const py::object &client, bool now) {
    state.active = true;
    state.client = client;
    state.next_try = now ? Clock::now() : seconds_from_now(retry_seconds());
}
