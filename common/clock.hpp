// The one clock of the program's waits and ages (steady: a change of the PC's time moves nothing),
// and the three ways it is read.
#pragma once

#include <chrono>

using Clock = std::chrono::steady_clock;

// Seconds from `then` until now (negative while `then` is still ahead).
inline double seconds_since(Clock::time_point then) {
    return std::chrono::duration<double>(Clock::now() - then).count();
}

// Seconds from now until `moment` (negative once it has passed).
inline double seconds_until(Clock::time_point moment) { return -seconds_since(moment); }

// The moment `seconds` from now (a negative count: that long ago).
inline Clock::time_point seconds_from_now(double seconds) {
    return Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}
