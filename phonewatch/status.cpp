// How things stand, in one line for the tray (Holded, the handset link, the contact index), and
// the one notice each change of state is worth.
#include "phonewatch.hpp"

namespace {

// Seconds without an answer from the handset before the user is told it is lost: one failed
// read is often only the link waking up (phonewatch.SILENCE_SECONDS, read at each use).
double silence_seconds() { return pymod("phonewatch").attr("SILENCE_SECONDS").cast<double>(); }

// Local wall-clock time as the user reads it, hours and minutes.
py::str clock_time(std::time_t when) {
    py::object time = pymod("time");
    return time.attr("strftime")("%H:%M", time.attr("localtime")(static_cast<long long>(when)));
}

py::str part(const py::str &label, const py::str &value) { return py::str(label + py::str(": ") + value); }

py::str holded_part(const Status::View &view) {
    switch (view.holded) {
        case HoldedLink::connected:
            return tr("conectado");
        case HoldedLink::offline:
            return tr("sin conexión desde {}").attr("format")(clock_time(view.holded_since));
        case HoldedLink::refused:
            break;
    }
    return tr("clave rechazada");
}

py::str handset_part(const Status::View &view) {
    switch (view.handset) {
        case HandsetLink::linked:
            return tr("enlazado");
        case HandsetLink::silent:
            return tr("sin respuesta desde {}").attr("format")(clock_time(view.handset_since));
        case HandsetLink::off:
            return tr("desactivado en Configurar");
        case HandsetLink::missing:
            break;
    }
    return tr("sin componente");
}

py::str index_part(const py::object &client) {
    py::object index = client.is_none() ? py::none() : py::getattr(client, "indice", py::none());
    if (index.is_none() || !py::bool_(py::getattr(index, "activo", py::bool_(false)))) return tr("desactivado");
    if (py::bool_(py::getattr(index, "leyendo", py::bool_(false)))) return tr("leyendo...");
    py::object read_at = py::getattr(index, "leido", py::none());
    if (!py::bool_(py::getattr(index, "listo", py::bool_(false))) || read_at.is_none()) return tr("sin leer");
    return tr("{} contactos, leídos a las {}")
        .attr("format")(py::len(index), clock_time(static_cast<std::time_t>(read_at.cast<double>())));
}

}  // namespace

Change Status::handset_read(bool answered) {
    double silence = silence_seconds();
    std::lock_guard<std::mutex> lock(mutex_);
    if (answered) {
        silent_since_.reset();
        if (handset_ != HandsetLink::silent) return Change::none;
        handset_ = HandsetLink::linked;
        handset_since_ = std::time(nullptr);
        return Change::handset_back;
    }
    if (handset_ == HandsetLink::silent) return Change::none;
    if (!silent_since_) {
        silent_since_ = Clock::now();
        handset_since_ = std::time(nullptr);
    }
    if (seconds_since(*silent_since_) < silence) return Change::none;
    handset_ = HandsetLink::silent;
    return Change::handset_lost;
}

void Status::handset_link(HandsetLink link) {
    std::lock_guard<std::mutex> lock(mutex_);
    handset_ = link;
    handset_since_ = std::time(nullptr);
    silent_since_.reset();
}

Change Status::holded(HoldedLink link) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (link == holded_) return Change::none;
    HoldedLink was = holded_;
    holded_ = link;
    holded_since_ = std::time(nullptr);
    if (link == HoldedLink::refused) {
        refusal_due_ = true;
        return Change::key_refused;
    }
    if (link == HoldedLink::offline) return Change::holded_lost;
    return was == HoldedLink::offline ? Change::holded_back : Change::none;
}

bool Status::take_key_refusal() {
    std::lock_guard<std::mutex> lock(mutex_);
    bool due = refusal_due_;
    refusal_due_ = false;
    return due;
}

Status::View Status::view() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return View{holded_, holded_since_, handset_, handset_since_};
}

bool Status::attention() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return holded_ != HoldedLink::connected || handset_ == HandsetLink::silent;
}

py::str status_line(const Runtime &runtime, const py::object &client) {
    Status::View view = runtime.status.view();
    py::list parts;
    parts.append(part(py::str("Holded"), holded_part(view)));
    parts.append(part(tr("Teléfono"), handset_part(view)));
    parts.append(part(tr("Índice"), index_part(client)));
    return py::str(" · ").attr("join")(parts);
}

void tell_change(Runtime &runtime, Change change, const py::str &cause) {
    switch (change) {
        case Change::handset_lost:
            post_notice(runtime, tr("Teléfono sin respuesta"),
                        tr("El teléfono no responde desde las {}: no se verá quién llama hasta que vuelva.")
                            .attr("format")(clock_time(runtime.status.view().handset_since)),
                        "SYSTEM_TRAY_MESSAGE_ICON_WARNING");
            return;
        case Change::handset_back:
            post_notice(runtime, tr("Teléfono enlazado"), tr("El teléfono vuelve a responder."));
            return;
        case Change::holded_lost:
            // The cause first: a certificate the PC cannot check needs the user, not a retry.
            post_notice(runtime, tr("Sin conexión con Holded"),
                        py::str(cause + py::str("\n") +
                                tr("Holded no responde. Se volverá a intentar cada minuto; las búsquedas pueden "
                                   "fallar mientras tanto.")),
                        "SYSTEM_TRAY_MESSAGE_ICON_WARNING");
            return;
        case Change::holded_back:
            post_notice(runtime, tr("Conexión con Holded"), tr("Holded vuelve a responder."));
            return;
        case Change::key_refused:  // the GUI thread shows the "Error API" popup
        case Change::none:
            return;
    }
}
