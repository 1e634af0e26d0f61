#pragma once
#include "py.hpp"

#include <chrono>
#include <memory>
#include <optional>

// Number normalisation and the check of a typed number.
void register_numbers(py::module_ &m);
// The application object: start-up, tray turns, polling and the manual search window.
void register_app(py::module_ &m);

py::str procetlf(const py::object &telefono);
bool validatenumero(const py::object &text);
// The number without the handset's service prefixes, stray blanks and marks, with ASCII digits.
py::str clean_number(const py::object &telefono);
// Whether the text holds an ASCII digit: a number without one is never looked up.
bool has_digit(const py::str &text);

using Clock = std::chrono::steady_clock;

// What the handset has shown, shared by the tray loop and the background reader (never at the
// same time: see HandsetWatch). Touched only with the GIL held.
struct HandsetState {
    // The active number at the last read that worked ("" for no call): a number is taken when
    // it differs from this one.
    py::str previous{""};
    // Numbers taken (cleaned), oldest first, waiting for the tray loop to look them up.
    py::list pending;
    std::optional<Clock::time_point> last_read;
};

// Holded while it has not answered since start-up for a reason that may pass by itself.
struct HoldedState {
    bool offline = false;
    bool told = false;              // the user has been told once
    py::object client;              // the client whose probe is retried
    py::object probe = py::none();  // the thread running a probe, None between probes
    Clock::time_point next_try{};
};

// The state of a run that outlives a tray turn.
struct Runtime {
    HandsetState handset;
    HoldedState holded;
};

// The application object: its Part state lives in Python attributes (variable, app); the
// runtime state above is its own.
struct phonewatch_app {
    std::shared_ptr<Runtime> runtime = std::make_shared<Runtime>();
};

// Seconds between reads of the handset and between probes of an unreachable Holded
// (phonewatch.POLL_SECONDS, phonewatch.RETRY_SECONDS, read at each use).
double poll_seconds();
double retry_seconds();

// One read of the handset; a number taken goes to state.pending.
void poll_handset(HandsetState &state, const py::object &app);
// Seconds until the next read of the handset is due.
double seconds_until_poll(const HandsetState &state);

// Reads the handset every POLL_SECONDS in a background thread for as long as it exists, so that
// calls are not missed while a lookup, a window or a notice holds the GUI thread.
class HandsetWatch {
public:
    HandsetWatch(const std::shared_ptr<Runtime> &runtime, const py::object &app);
    HandsetWatch(const HandsetWatch &) = delete;
    HandsetWatch &operator=(const HandsetWatch &) = delete;
    // Stops the thread and waits for it, so the tray loop never reads the handset alongside it.
    ~HandsetWatch();

private:
    py::object stop_;
    py::object thread_;
};

// Starts retrying the probe of `client` in the background.
void holded_offline(HoldedState &state, const py::object &client);
// A finished probe's result, when one has finished: "" while nothing is new, "back" when Holded
// answers, "refused" when it now refuses the key. Starts the next probe when it is due.
std::string holded_follow(HoldedState &state);
