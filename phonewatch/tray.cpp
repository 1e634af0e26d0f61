// The tray of a turn: an icon in the system's notification area (pystray, whose loop runs on a
// thread of its own and only posts the user's choices here), or, where no notification area can
// take one, the toolkit's simulated tray window. Either way the tray loop reads it like the
// toolkit's tray (read, show_message, close), and its notices never hold the GUI thread: the
// system's notifications where the icon has them, else a notice drawn with Tk that goes by itself.
#include "phonewatch.hpp"

#include "embedded_images.hpp"
#include "released.hpp"
#include "text.hpp"
#include "gui.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace {

// Longest single wait of Tk's loop in a read of the icon's tray while something of it is on the
// screen (a notice, the menu): how soon a choice in the menu is acted on. With nothing on the
// screen the read waits for its events alone and costs nothing.
constexpr int TK_SLICE_MS = 100;
// Longest wait of a read of the toolkit's tray: each read of a toolkit window costs the GUI
// thread close to a millisecond, and nothing but its time-out wakes it.
constexpr long long WINDOW_READ_MS = 500;
// How often Tk's timer draws the notices that wait while a window holds the GUI thread.
constexpr int PUMP_MS = 200;
// Windows keeps 127 characters of a notification-area icon's tooltip.
constexpr std::size_t TOOLTIP_MAX = 127;
// The sizes the icon's picture is drawn in (img/tray-<size>.png): what notification areas use.
constexpr int ICON_SIZES[] = {16, 24, 32, 48};
// A click of the icon's backend without a menu of its own (X11): the tray shows the menu itself.
const char *const MENU_EVENT = "__MENU__";
const char *const TIMEOUT_EVENT = "__TIMEOUT__";
// Posted by other threads when work waits for the GUI thread (a notice, a form): the read ends.
const char *const WAKE_EVENT = "__WAKE__";
// The toolkit's notice: dark, white text, bottom right of the screen, clear of the toolkit's tray
// window (100 px in from the corner).
const char *const NOTICE_BACKGROUND = "#282828";
constexpr int NOTICE_WIDTH = 364;
constexpr int NOTICE_TEXT_WIDTH = 300;
constexpr int NOTICE_RIGHT = 160;
constexpr int NOTICE_BOTTOM = 60;
constexpr int NOTICE_GAP = 8;

py::object hidden_root() { return toolkit().attr("_get_hidden_master_root")(); }

// Whether the toolkit draws with Tk (the notices are drawn beside its windows).
bool toolkit_has_tk() { return py::hasattr(toolkit(), "_get_hidden_master_root"); }

// Runs Tk's loop for up to `ms` milliseconds: the notices, the menu and the windows of the
// hidden root go on meanwhile. The timer is called off when the loop ended otherwise, so that it
// never ends another window's loop later.
void run_tk(int ms) {
    py::object root = hidden_root();
    py::object timer = root.attr("after")(ms, root.attr("quit"));
    root.attr("mainloop")();
    root.attr("after_cancel")(timer);
}

py::str tooltip(const py::str &line) {
    if (py::len(line) <= TOOLTIP_MAX) return line;
    return py::str(py::str(line[py::slice(0, TOOLTIP_MAX - 3, 1)]) + py::str("..."));
}

// --- notices drawn with Tk --------------------------------------------------------------------

py::object notice_label(const py::object &tk, const py::object &top, const py::str &text, bool bold) {
    return tk.attr("Label")(top, "text"_a = text, "foreground"_a = "#ffffff", "background"_a = NOTICE_BACKGROUND,
                            "font"_a = py::make_tuple("TkDefaultFont", bold ? 11 : 10, bold ? "bold" : "normal"),
                            "anchor"_a = "w", "justify"_a = "left", "wraplength"_a = NOTICE_TEXT_WIDTH);
}

// Puts a new notice above the ones already on the screen.
void place_notice(const py::object &top, const py::list &shown) {
    top.attr("update_idletasks")();
    int width = std::max(NOTICE_WIDTH, top.attr("winfo_reqwidth")().cast<int>());
    int height = top.attr("winfo_reqheight")().cast<int>();
    int below = 0;
    for (py::handle other : shown) below += other.attr("winfo_height")().cast<int>() + NOTICE_GAP;
    int x = top.attr("winfo_screenwidth")().cast<int>() - width - NOTICE_RIGHT;
    int y = top.attr("winfo_screenheight")().cast<int>() - height - NOTICE_BOTTOM - below;
    top.attr("geometry")(py::str("{}x{}+{}+{}").format(width, height, x, std::max(0, y)));
}

// A notice like the toolkit's tray notice, drawn on the hidden root, gone by itself after the
// toolkit's time ((fade, shown) in milliseconds) or at a click; never waits.
void draw_notice(py::list shown, const py::str &title, const py::str &message, const py::object &picture,
                 int milliseconds) {
    py::object tk = pymod("tkinter");
    // Named apart from the toolkit's windows ("!toplevel..."), which tools and tests look for.
    py::str name = py::str("notice{}").format(pymod("time").attr("monotonic_ns")());
    py::object top = tk.attr("Toplevel")(hidden_root(), "name"_a = name, "background"_a = NOTICE_BACKGROUND,
                                         "padx"_a = 10, "pady"_a = 8);
    top.attr("wm_overrideredirect")(true);
    top.attr("attributes")("-topmost", true);
    // Not shown (the notice has no title bar), but what screen readers and tools find it by.
    top.attr("wm_title")(title + py::str(": ") + message.attr("replace")("\n", " "));
    if (py::isinstance<py::bytes>(picture) || py::isinstance<py::str>(picture)) {
        py::object image = tk.attr("PhotoImage")("master"_a = top, "data"_a = picture);
        tk.attr("Label")(top, "image"_a = image, "background"_a = NOTICE_BACKGROUND)
            .attr("grid")("row"_a = 0, "column"_a = 0, "rowspan"_a = 2, "padx"_a = py::make_tuple(0, 8));
        top.attr("_picture") = image;  // Tk draws it only while Python keeps it
    }
    notice_label(tk, top, title, true).attr("grid")("row"_a = 0, "column"_a = 1, "sticky"_a = "w");
    notice_label(tk, top, message, false).attr("grid")("row"_a = 1, "column"_a = 1, "sticky"_a = "w");
    place_notice(top, shown);
    shown.append(top);
    py::cpp_function close([top, shown](py::args) {
        if (shown.contains(top)) shown.attr("remove")(top);
        try {
            top.attr("destroy")();
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;  // gone already
        }
    });
    top.attr("bind")("<Button-1>", close);
    top.attr("after")(milliseconds, close);
}

// The toolkit's notice time, (fade, shown) or shown, as the milliseconds a notice stays.
int notice_milliseconds(const py::object &time) {
    if (py::isinstance<py::tuple>(time) && py::len(time) == 2)
        return 2 * time[py::int_(0)].cast<int>() + time[py::int_(1)].cast<int>();
    if (py::isinstance<py::int_>(time)) return 2000 + time.cast<int>();
    return 5000;
}

py::list shown_notices(Runtime &runtime) {
    if (runtime.toasts.is_none()) runtime.toasts = py::list();
    return runtime.toasts;
}

// --- the icon's backend -----------------------------------------------------------------------

// Whether an X11 notification area is there to dock in (the owner of the system tray selection).
bool x11_tray_host() {
    py::object display = pymod("Xlib.display").attr("Display")();
    py::object atom =
        display.attr("intern_atom")(py::str("_NET_SYSTEM_TRAY_S{}").format(display.attr("get_default_screen")()));
    bool found = !display.attr("get_selection_owner")(atom).equal(pymod("Xlib.X").attr("NONE"));
    display.attr("close")();
    return found;
}

std::string backend_of(const py::object &pystray) { return py::str(pystray.attr("Icon").attr("__module__")); }

// The tooltip as the icon's backend can carry it: X11 names the icon's window in Latin-1.
py::str icon_title(const py::str &line) {
    py::str shown = tooltip(line);
    if (backend_of(pymod("pystray")) != "pystray._xorg") return shown;
    return shown.attr("encode")("latin-1", "replace").attr("decode")("latin-1");
}

// pystray, where an icon can go into a notification area; None for the toolkit's tray (asked for
// with CALLCOMPANION_TRAY=window, no Tk toolkit, no pystray backend, or no tray host on X11).
py::object icon_library() {
    py::object mode = pymod("os").attr("environ").attr("get")("CALLCOMPANION_TRAY", "");
    if (py::str(mode).cast<std::string>() == "window" || !toolkit_has_tk()) return py::none();
    try {
        py::object pystray = pymod("pystray");
        std::string backend = backend_of(pystray);
        if (backend == "pystray._dummy" || (backend == "pystray._xorg" && !x11_tray_host())) return py::none();
        return pystray;
    } catch (py::error_already_set &e) {
        // No display, no backend for this desktop: the toolkit's tray does it.
        if (!e.matches(PyExc_Exception)) throw;
        return py::none();
    }
}

// The notification area's icon size on this PC: Windows says it (it grows with the screen's
// scale); X11 panels are mostly 24 to 32 pixels high and scale the picture to fit.
int icon_size() {
    int wanted = 32;
    if (py::str(pymod("sys").attr("platform")).cast<std::string>() == "win32") {
        constexpr int SM_CXSMICON = 49;
        wanted = pymod("ctypes").attr("windll").attr("user32").attr("GetSystemMetrics")(SM_CXSMICON).cast<int>();
    }
    for (int size : ICON_SIZES)
        if (size >= wanted) return size;
    return ICON_SIZES[std::size(ICON_SIZES) - 1];
}

py::object icon_picture(bool attention) {
    std::string name = std::string(attention ? "tray-alert-" : "tray-") + std::to_string(icon_size()) + ".png";
    py::object image = pymod("PIL.Image").attr("open")(resource_file("img", name.c_str()));
    image.attr("load")();
    return image;
}

// One entry of the toolkit's menu definition ("Buscar::Buscar", "---").
struct MenuEntry {
    py::str event;  // what read() returns when it is chosen
    py::str text;   // what the menu shows
    bool separator;
};

std::vector<MenuEntry> menu_entries(const py::list &definition) {
    std::vector<MenuEntry> entries;
    for (py::handle item : definition) {
        std::string text = py::str(item);
        bool separator = text == "---";
        std::string shown = text.substr(0, text.find("::"));
        entries.push_back({py::str(item), py::str(shown), separator});
    }
    return entries;
}

py::object post_event(const py::object &events, const py::str &event) {
    return py::cpp_function([events, event](py::args) { events.attr("put")(event); });
}

// The icon's menu: the status line (not a choice), then the entries; "Buscar" is the default,
// what a click on the icon does.
py::object icon_menu(const py::object &pystray, const std::vector<MenuEntry> &entries, const py::object &events,
                     const py::list &status_cell) {
    py::object item = pystray.attr("MenuItem");
    py::list items;
    items.append(
        item(py::cpp_function([status_cell](py::args) { return status_cell[0]; }), py::none(), "enabled"_a = false));
    for (const MenuEntry &entry : entries) {
        if (entry.separator) {
            items.append(pystray.attr("Menu").attr("SEPARATOR"));
            continue;
        }
        bool search = text::ends_with(entry.event.cast<std::string>(), "::Buscar");
        items.append(item(entry.text, post_event(events, entry.event), "default"_a = search));
    }
    return pystray.attr("Menu")(*items);
}

// pystray's X11 icon window does not listen for the mouse: it is told to, before its loop runs,
// and a left click is the default choice, a right click the menu (which X11 icons lack).
void listen_for_clicks(const py::object &icon, const py::object &events) {
    py::object x = pymod("Xlib.X");
    icon.attr("_window").attr("change_attributes")(
        "event_mask"_a = x.attr("ExposureMask") | x.attr("StructureNotifyMask") | x.attr("ButtonPressMask"));
    py::object activated = py::str("__ACTIVATED__"), menu = py::str(MENU_EVENT);
    icon.attr("_message_handlers")[x.attr("ButtonPress")] =
        py::cpp_function([events, activated, menu](py::object event) {
            int button = event.attr("detail").cast<int>();
            if (button == 1) events.attr("put")(activated);
            if (button == 3) events.attr("put")(menu);
        });
}

// --- the tray ---------------------------------------------------------------------------------

class Tray {
public:
    Tray(std::shared_ptr<Runtime> runtime, const py::list &definition, const py::str &status);

    py::object read(const py::object &timeout);
    py::object show_message(const py::object &title, const py::object &message, const py::object &messageicon,
                            const py::object &time);
    void set_status(const py::str &line, bool attention);
    // Lets the notices on the screen be seen for a moment before the run ends.
    void linger(double seconds);
    void close();

    py::object icon() const { return icon_; }
    py::object events() const { return events_; }
    py::object window() const { return window_; }
    py::str status() const { return status_cell_[0]; }
    py::object system_notify() const;

private:
    void start_icon(const py::object &pystray);
    bool on_screen() const;
    void wait_for_event(const py::object &seconds);
    void show_menu();
    py::list window_menu() const;

    std::shared_ptr<Runtime> runtime_;
    std::vector<MenuEntry> entries_;
    py::list status_cell_;  // [the status line]: read by the icon's menu on pystray's thread
    bool attention_ = false;
    py::object events_;
    py::object icon_ = py::none();
    py::object icon_thread_ = py::none();
    py::object window_ = py::none();
    py::object popup_menu_ = py::none();
};

Tray::Tray(std::shared_ptr<Runtime> runtime, const py::list &definition, const py::str &status)
    : runtime_(std::move(runtime)), entries_(menu_entries(definition)) {
    status_cell_.append(status);
    events_ = pymod("queue").attr("SimpleQueue")();
    py::object pystray = icon_library();
    if (!pystray.is_none()) {
        try {
            start_icon(pystray);
            return;
        } catch (py::error_already_set &e) {
            if (!e.matches(PyExc_Exception)) throw;
            py::print(py::str("tray icon: ") + py::str(e.value()), "flush"_a = true);
            icon_ = py::none();
        }
    }
    window_ = toolkit().attr("SystemTray")("menu"_a = window_menu(), "data_base64"_a = app_icon(),
                                           "tooltip"_a = tooltip(status));
}

void Tray::start_icon(const py::object &pystray) {
    icon_ = pystray.attr("Icon")("callcompanion", icon_picture(false), icon_title(status()),
                                 icon_menu(pystray, entries_, events_, status_cell_));
    if (backend_of(pystray) == "pystray._xorg") listen_for_clicks(icon_, events_);
    icon_thread_ = start_daemon(icon_.attr("run"), "tray-icon");
}

py::list Tray::window_menu() const {
    py::list items;
    items.append(py::str("!") + status());  // "!": shown, not a choice
    items.append("---");
    for (const MenuEntry &entry : entries_) items.append(entry.event);
    return make_list(py::str("UNUSED"), items);
}

py::object Tray::system_notify() const {
    if (icon_.is_none() || !py::bool_(icon_.attr("HAS_NOTIFICATION"))) return py::none();
    return icon_.attr("notify");
}

py::object Tray::read(const py::object &timeout) {
    if (!window_.is_none()) {
        long long wait = timeout.is_none() ? WINDOW_READ_MS : std::min(timeout.cast<long long>(), WINDOW_READ_MS);
        return window_.attr("read")("timeout"_a = wait);
    }
    std::optional<Clock::time_point> deadline;
    if (!timeout.is_none()) deadline = Clock::now() + std::chrono::milliseconds(timeout.cast<long long>());
    while (true) {
        if (!py::bool_(events_.attr("empty")())) {
            py::object event = events_.attr("get_nowait")();
            if (event.equal(py::str(WAKE_EVENT))) return py::str(TIMEOUT_EVENT);
            if (!event.equal(py::str(MENU_EVENT))) return event;
            show_menu();
            continue;
        }
        long long left = TK_SLICE_MS;
        if (deadline) {
            left = std::chrono::duration_cast<std::chrono::milliseconds>(*deadline - Clock::now()).count();
            if (left <= 0) return py::str(TIMEOUT_EVENT);
        }
        if (on_screen())
            run_tk(static_cast<int>(std::min<long long>(left, TK_SLICE_MS)));
        else
            wait_for_event(deadline ? py::object(py::float_(left / 1000.0)) : py::object(py::none()));
    }
}

bool Tray::on_screen() const {
    if (py::len(shown_notices(*runtime_)) > 0) return true;
    return !popup_menu_.is_none() && py::bool_(popup_menu_.attr("winfo_ismapped")());
}

// Waits (without the GIL) until an event comes or `seconds` pass; the event stays for read().
void Tray::wait_for_event(const py::object &seconds) {
    try {
        events_.attr("put")(events_.attr("get")("timeout"_a = seconds));
    } catch (py::error_already_set &e) {
        if (!e.matches(pymod("queue").attr("Empty"))) throw;
    }
}

// The menu of an icon whose backend has none, at the mouse pointer, drawn by Tk.
void Tray::show_menu() {
    py::object tk = pymod("tkinter");
    py::object root = hidden_root();
    if (!popup_menu_.is_none()) popup_menu_.attr("destroy")();
    popup_menu_ = tk.attr("Menu")(root, "tearoff"_a = 0);
    popup_menu_.attr("add_command")("label"_a = status(), "state"_a = "disabled");
    popup_menu_.attr("add_separator")();
    for (const MenuEntry &entry : entries_) {
        if (entry.separator)
            popup_menu_.attr("add_separator")();
        else
            popup_menu_.attr("add_command")("label"_a = entry.text, "command"_a = post_event(events_, entry.event));
    }
    py::tuple pointer = root.attr("winfo_pointerxy")();
    popup_menu_.attr("tk_popup")(pointer[0], pointer[1]);
}

py::object Tray::show_message(const py::object &title, const py::object &message, const py::object &messageicon,
                              const py::object &time) {
    py::object notify = system_notify();
    if (!notify.is_none()) {
        notify(message, title);
        return py::str(TIMEOUT_EVENT);
    }
    if (!toolkit_has_tk()) return window_.attr("show_message")(title, message, "messageicon"_a = messageicon);
    draw_notice(shown_notices(*runtime_), py::str(title), py::str(message), messageicon, notice_milliseconds(time));
    return py::str(TIMEOUT_EVENT);
}

void Tray::set_status(const py::str &line, bool attention) {
    bool new_picture = attention != attention_;
    if (!new_picture && status().equal(line)) return;
    status_cell_[0] = line;
    attention_ = attention;
    if (!icon_.is_none()) {
        icon_.attr("title") = icon_title(line);
        if (new_picture) icon_.attr("icon") = icon_picture(attention);
        icon_.attr("update_menu")();
        return;
    }
    if (!py::hasattr(window_, "update")) return;
    window_.attr("update")("menu"_a = window_menu(), "tooltip"_a = line);
    if (!new_picture) return;
    if (attention)
        window_.attr("update")("filename"_a = resource_file("img", "tray-alert-32.png"));
    else
        window_.attr("update")("data_base64"_a = app_icon());
}

void Tray::linger(double seconds) {
    if (!toolkit_has_tk()) return;
    auto until = seconds_from_now(seconds);
    py::list shown = shown_notices(*runtime_);
    while (Clock::now() < until && py::len(shown) > 0) run_tk(TK_SLICE_MS);
    // The run ends: what is still on the screen goes with it.
    for (py::handle notice : py::list(shown)) notice.attr("destroy")();
    shown.attr("clear")();
}

void Tray::close() {
    if (!icon_.is_none()) {
        // pystray's thread can outlive stop(): it is waited for briefly and then left (a daemon).
        constexpr double ICON_JOIN_SECONDS = 2.0;
        icon_.attr("stop")();
        icon_thread_.attr("join")("timeout"_a = ICON_JOIN_SECONDS);
        icon_ = py::none();
    }
    if (!popup_menu_.is_none()) {
        popup_menu_.attr("destroy")();
        popup_menu_ = py::none();
    }
    if (!window_.is_none()) {
        window_.attr("close")();
        release_window(py::getattr(window_, "window", py::none()));
    }
}

void pump(const std::weak_ptr<Runtime> &weak) {
    auto runtime = weak.lock();
    if (!runtime || !runtime->pump_running) return;
    try {
        if (!runtime->tray.is_none()) show_waiting_notices(*runtime, runtime->tray);
    } catch (py::error_already_set &e) {
        e.discard_as_unraisable("drawing a notice");
    }
    hidden_root().attr("after")(PUMP_MS, py::cpp_function([weak] { pump(weak); }));
}

}  // namespace

py::bytes app_icon() { return py::bytes(embedded::APP_ICON_PNG_B64); }

py::object make_tray(const std::shared_ptr<Runtime> &runtime, const py::list &definition, const py::str &status) {
    auto tray = std::make_shared<Tray>(runtime, definition, status);
    runtime->system_notify = tray->system_notify();
    runtime->wake = tray->events();
    runtime->tray = py::cast(tray);
    return runtime->tray;
}

void wake_gui(Runtime &runtime) {
    py::object wake = runtime.wake;
    if (!wake.is_none()) wake.attr("put")(py::str(WAKE_EVENT));
}

void show_status(const py::object &tray, const py::str &line, bool attention) {
    tray.cast<Tray &>().set_status(line, attention);
}

void close_tray(Runtime &runtime, const py::object &tray, double linger_seconds) {
    Tray &closing = tray.cast<Tray &>();
    runtime.system_notify = py::none();
    runtime.wake = py::none();
    runtime.tray = py::none();
    if (linger_seconds > 0) closing.linger(linger_seconds);
    closing.close();
}

void show_waiting_notices(Runtime &runtime, const py::object &tray) {
    while (!py::bool_(runtime.notices.attr("empty")())) {
        py::tuple notice = runtime.notices.attr("get_nowait")();
        show_notice(tray, notice[0], notice[1], py::str(notice[2]).cast<std::string>().c_str());
    }
}

void start_notice_pump(const std::shared_ptr<Runtime> &runtime) {
    if (runtime->pump_running || !toolkit_has_tk()) return;
    runtime->pump_running = true;
    std::weak_ptr<Runtime> weak = runtime;
    hidden_root().attr("after")(PUMP_MS, py::cpp_function([weak] { pump(weak); }));
}

void stop_notice_pump(Runtime &runtime) { runtime.pump_running = false; }

void register_tray(py::module_ &m) {
    py::class_<Tray, std::shared_ptr<Tray>>(m, "bandeja",
                                            "The tray of one turn: read(timeout), show_message(...) and close() as the "
                                            "toolkit's tray; icono is the notification-area icon (pystray) or None, "
                                            "ventana the toolkit's tray window or None, estado the status line.")
        .def("read", &Tray::read, "timeout"_a = py::none(),
             "The next choice of the menu or click of the icon, or \"__TIMEOUT__\" after `timeout` ms.")
        .def(
            "show_message",
            [](Tray &tray, const py::object &title, const py::object &message, const py::object &, const py::object &,
               const py::object &, const py::object &messageicon,
               const py::object &time) { return tray.show_message(title, message, messageicon, time); },
            "title"_a, "message"_a, "filename"_a = py::none(), "data"_a = py::none(), "data_base64"_a = py::none(),
            "messageicon"_a = py::none(), "time"_a = py::make_tuple(1000, 3000),
            "A notice that never waits for the user.")
        .def("close", &Tray::close, "Removes the icon (or the tray window).")
        .def_property_readonly("icono", &Tray::icon)
        .def_property_readonly("ventana", &Tray::window)
        .def_property_readonly("estado", &Tray::status);
}
