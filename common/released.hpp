// What a closed window of the toolkit leaves behind, and how to let it go.
//
// The toolkit gives each window a Tk variable whose trace calls back into the window (for
// write_event_value). The Tcl interpreter holds that callback, so Python's collector never sees
// the cycle: a closed window, its elements and their Tk images stay for the whole run unless the
// trace goes. The toolkit also remembers the last window it ran, closed or not.
#pragma once
#include "py.hpp"

// Lets a closed window go: drops its trace, forgets it as the toolkit's last window and collects
// it at once, here on the GUI thread, so its Tk images and variables are deleted on the thread
// Tk belongs to. Does nothing for a window still open or one without such a trace (a test
// double). Never raises.
void release_window(const py::object &window) noexcept;

// The same for the toolkit's own windows that it closes itself (a tray notice, a popup): the
// last window the toolkit ran, once it has closed.
void release_last_window() noexcept;
