// The one X display connection of the process, shared by the Linux adapters,
// and the window lookups they have in common. Opened on first use; a window
// that vanishes between two requests only makes that request fail.
#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace rl::x11 {

// The shared connection, or null when no X server can be reached (retried
// at most once a second, so that callers on a timer stay cheap). Its only
// events are the last-input alarm's, and the last-input tracker reads them
// all: an adapter that selects other events needs a connection of its own.
Display* SharedDisplay();

// Closes the shared connection; the next use opens a new one.
void CloseSharedDisplay();

// True once the server has gone away; the next SharedDisplay call drops
// the broken connection.
bool ConnectionLost();

// Counts the connections opened so far, so that per-connection state
// (extensions looked up) can tell when it is stale.
unsigned ConnectionGeneration();

// Atoms used by the adapters, interned once per connection.
struct Atoms {
    Atom NET_ACTIVE_WINDOW;
    Atom NET_WM_PID;
    Atom NET_WM_NAME;
    Atom NET_WM_WINDOW_TYPE;
    Atom NET_WM_STATE;
    Atom NET_WM_STATE_SKIP_TASKBAR;
    Atom WM_STATE;
    Atom UTF8_STRING;
    // Window types that make a window a tool window rather than an
    // application window.
    std::vector<Atom> toolWindowTypes;
};
const Atoms& SharedAtoms();

// Error code of the last failed request since ResetLastError (0: none).
int LastError();
void ResetLastError();

// Items of a window property of the given type and format 32 (CARDINAL,
// WINDOW, ATOM). Empty when missing or the window is gone.
std::vector<unsigned long> Property32(Display* d, Window w, Atom property, Atom type);
// Raw bytes of a property of format 8 and the given type (AnyPropertyType
// for any); nullopt when missing.
std::optional<std::string> Property8(Display* d, Window w, Atom property, Atom type);

bool HasWmState(Display* d, Window w);

// The window a window manager tracks for a top-level window: the window
// itself when it has WM_STATE, else the first descendant that has it
// (managers reparent clients into frames), else the window itself.
Window ClientWindow(Display* d, Window topLevel);

// The top-level ancestor of a window (the child of the root), or None.
Window TopLevelOf(Display* d, Window w);

// Client windows of all top-level windows, topmost first.
std::vector<Window> ClientWindows(Display* d);

}  // namespace rl::x11
