// The phone watcher: the application object, its tray, the handset watch and the presentation of
// calls. Who owns what while the phone rings:
// - the GUI thread owns Tk: the tray loop, the windows, the toolkit's notices;
// - the tray icon's thread (pystray) only posts the user's choices to the tray loop;
// - the handset watch reads the handset every POLL_SECONDS on its own thread, always;
// - the presenter looks every call up on its own thread and shows a known caller at once (pages
//   and a notice need no Tk); a caller without a contact waits for the GUI thread's form.
// State shared by these threads is plain C++ behind a mutex that is never held while Python
// runs, or Python objects that are safe across threads (queue.SimpleQueue).
#pragma once
#include "clock.hpp"
#include "py.hpp"

#include <cstddef>
#include <ctime>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

// --- numbers (numbers.cpp) --------------------------------------------------------------------

void register_numbers(py::module_ &m);

py::str procetlf(const py::object &telefono);
bool validatenumero(const py::object &text);
// The number without the handset's service prefixes, control characters, stray blanks and
// marks, with ASCII digits.
py::str clean_number(const py::object &telefono);
// Whether the text holds an ASCII digit: a number without one is never looked up.
bool has_digit(const py::str &text);
// The number given on the command line (sys.argv), for the office's country (`settings`, the
// settings dictionary); the empty text when the arguments hold no digit.
py::str startup_number(const py::list &argv, const py::object &settings);

// --- how things stand (status.cpp) ------------------------------------------------------------

enum class HoldedLink { connected, offline, refused };
enum class HandsetLink { linked, silent, off, missing };

// A change of state the user is told about once, as it happens.
enum class Change { none, handset_lost, handset_back, holded_lost, holded_back, key_refused };

class Status {
public:
    struct View {
        HoldedLink holded;
        std::time_t holded_since;
        HandsetLink handset;
        std::time_t handset_since;
    };

    // The outcome of one read of the handset: handset_lost once it has not answered for
    // phonewatch.SILENCE_SECONDS, handset_back when it answers after that.
    Change handset_read(bool answered);
    // What the settings and the start-up made of the link: linked, off or missing.
    void handset_link(HandsetLink link);
    // Holded as a lookup or a probe found it; the change, if it is one.
    Change holded(HoldedLink link);
    // Whether the "Error API" popup is due (the key was refused since it was last shown); clears it.
    bool take_key_refusal();

    View view() const;
    // Whether the icon shows its attention picture: Holded not answering or refusing, the
    // handset lost.
    bool attention() const;

private:
    mutable std::mutex mutex_;
    HoldedLink holded_ = HoldedLink::connected;
    std::time_t holded_since_ = std::time(nullptr);
    HandsetLink handset_ = HandsetLink::linked;
    std::time_t handset_since_ = std::time(nullptr);
    std::optional<Clock::time_point> silent_since_;
    bool refusal_due_ = false;
};

// --- calls waiting for the GUI thread (presence.cpp) -----------------------------------------

// Callers without a contact, oldest first, waiting for the new-contact form: the same number
// ringing again while it waits is one entry, and beyond FORMS_WAITING the oldest goes (its
// notice has been shown).
class FormQueue {
public:
    static constexpr std::size_t FORMS_WAITING = 5;
    void push(const std::string &number);
    std::optional<std::string> pop();
    std::size_t size() const;

private:
    mutable std::mutex mutex_;
    std::deque<std::string> numbers_;
};

// Holded while it cannot be reached: its probe is retried every RETRY_SECONDS in a thread of its
// own. Touched by the presenter only (and by the start-up before the presenter runs).
struct HoldedRetry {
    bool active = false;
    py::object client = py::none();
    py::object probe = py::none();  // the thread running a probe, None between probes
    Clock::time_point next_try{};
};

// The state of a run that outlives a tray turn.
struct Runtime {
    Status status;
    FormQueue forms;
    HoldedRetry holded;

    // Calls for the presenter: (number, where it came from), ("", ...) for "the last number again"
    // (queue.SimpleQueue).
    py::object calls;
    // Notices for the GUI thread, (title, message, toolkit icon name), where the tray has no
    // notifications of the system (queue.SimpleQueue).
    py::object notices;
    // The current tray (the GUI thread only), its notification of the system (pystray's notify,
    // None without one) and the queue that wakes its read (wake_gui).
    py::object tray = py::none();
    py::object system_notify = py::none();
    py::object wake = py::none();
    // Whether Tk's timer that draws waiting notices runs, and the toolkit-drawn notices on the
    // screen (the GUI thread only).
    bool pump_running = false;
    py::object toasts = py::none();

    // The handset's last call taken in this tray turn, for "Ultimo Telefono".
    std::string last_number() const;
    void set_last_number(const std::string &number);

private:
    mutable std::mutex mutex_;
    std::string last_number_;
};

// The application object: its own state lives in Python attributes (variable, app), the state of
// the run in `runtime`.
struct phonewatch_app {
    std::shared_ptr<Runtime> runtime = std::make_shared<Runtime>();
};

Runtime &runtime_of(const py::object &self);

// Seconds between reads of the handset and between probes of an unreachable Holded
// (phonewatch.POLL_SECONDS, phonewatch.RETRY_SECONDS, read at each use).
double poll_seconds();
double retry_seconds();

// A notice from any thread, without waiting for the GUI thread: the system's notification
// where the tray has one, else the toolkit-drawn notice the GUI thread shows next. `icon` names
// one of the toolkit's message icons.
void post_notice(Runtime &runtime, const py::str &title, const py::str &message,
                 const char *icon = "SYSTEM_TRAY_MESSAGE_ICON_INFORMATION");

// Tells the user of a change of state (one notice), with `cause` for Holded lost.
void tell_change(Runtime &runtime, Change change, const py::str &cause = py::str(""));

// The threads of a run: the handset watch (only with a handset link) and the presenter. Stopped
// (and waited for, briefly) when the object goes, however the run ends.
class Presence {
public:
    explicit Presence(const py::object &self);
    Presence(const Presence &) = delete;
    Presence &operator=(const Presence &) = delete;
    ~Presence();

    void stop() noexcept;

private:
    py::object stop_;
    py::object calls_;
    py::object watch_ = py::none();
    py::object presenter_ = py::none();
};

// The handset's number at this moment; the empty text when it reports none (presence.cpp).
py::str active_number(const py::object &app);

// The presenter's loop (presenter.cpp): the calls of `calls` ((number, where it came from) tuples,
// ("", ...) for "the last number again") looked up and shown one after another, and between them
// Holded followed, the contact index read, kept and restored, until `stop` is set.
void run_presenter(const std::weak_ptr<Runtime> &weak, const py::object &self, const py::object &calls,
                   const py::object &stop);
// A call logged in Holded as a CRM event of `contact`, named and described for the user; the
// event's id, or Holded's refusal (the client's Evento).
py::object log_call_event(const py::object &client, const py::handle &contact, const py::str &number, double when);

// Starts retrying the probe of `client` in the background (presenter.cpp); `now`: the first
// probe at once.
void holded_offline(HoldedRetry &state, const py::object &client, bool now = false);
// Why the client's probe failed, in the user's words when the client has them.
py::str probe_failure(const py::object &client);

// The status line of the tray (tooltip and first menu line), in the interface language.
py::str status_line(const Runtime &runtime, const py::object &client);

// --- the tray (tray.cpp) ----------------------------------------------------------------------

void register_tray(py::module_ &m);
// The application icon (55 x 55 PNG) as image data: the toolkit tray's icon and the popups'.
py::bytes app_icon();
// A new tray for one turn with the menu `definition` (the toolkit tray's entries, "text::key" and
// "---") and the status line: an icon in the system's notification area where one can take it,
// else the toolkit's simulated tray. Its notifications become the runtime's.
py::object make_tray(const std::shared_ptr<Runtime> &runtime, const py::list &definition, const py::str &status);
// Ends the tray loop's wait: work is waiting for the GUI thread (from any thread).
void wake_gui(Runtime &runtime);
// Removes the tray of a turn, after letting its notices be seen for up to `linger_seconds`.
void close_tray(Runtime &runtime, const py::object &tray, double linger_seconds = 0);
// Gives the tray the status line and the picture that goes with it.
void show_status(const py::object &tray, const py::str &line, bool attention);
// Draws the notices that wait for the GUI thread on `tray` (the GUI thread only).
void show_waiting_notices(Runtime &runtime, const py::object &tray);
// Keeps the GUI thread's waits drawing the notices posted by other threads while a window or
// popup holds it (a timer of Tk's own); stopped when the turn ends.
void start_notice_pump(const std::shared_ptr<Runtime> &runtime);
void stop_notice_pump(Runtime &runtime);

// --- the call log (store.cpp) -----------------------------------------------------------------

void register_store(py::module_ &m);
// The call log of the working folder, kept `days` days (0: no calls kept), national numbers
// taken as numbers of `region`; a notice tells the user once when the file was damaged or cannot
// be written. In a folder where nothing can be saved the log stays off without a notice of its
// own (the settings tell the user).
py::object open_call_log(long days, const py::str &region, Runtime &runtime);
void close_call_log(const py::object &log);

// --- the recent-calls window (recent.cpp, recent_add.cpp) --------------------------------------

// The window "Llamadas recientes" (nothing without a call log).
void recent_calls(const py::object &self);
// A request to Holded on a thread of its own, the window (with a status line "-ESTADO-") kept
// alive and taking no input until it is done, saying `doing`; what the request gave, or its
// error raised here.
py::object off_the_gui_thread(const py::object &window, const py::str &doing, const std::function<py::object()> &work);
// "Añadir a un contacto": the number of `call` into a contact the user picks by name, in its
// empty phone field (or the one the user chooses to replace); told in the window's status line.
void add_number_to_contact(const py::object &self, const py::object &window, const py::dict &call);

// --- the application (app.cpp) ----------------------------------------------------------------

// Enter and Escape as each platform reports a key of a window read with keyboard events: "\r" and
// "\x1b" on Windows, "Return:36" (or the keypad's "KP_Enter:104") and "Escape:9" on X11.
bool is_enter(const std::string &event);
bool is_escape(const std::string &event);

void register_app(py::module_ &m);

// --- the manual search window (search.cpp) ----------------------------------------------------

// The window (phonewatch.buscar): a number typed or pasted, looked up on Enter or "Buscar";
// True once it has closed.
py::bool_ search_window(py::object self);

// A number to look up, from the search window or the command line: the presenter's, off the GUI
// thread, in a run (its queue is the attribute `consultas`); crmprocs.buscateam's, here, when the
// window is used on its own, without a run.
void look_up(const py::object &self, const py::str &number, const char *source);
