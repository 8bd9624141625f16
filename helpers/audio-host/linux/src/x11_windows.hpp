#pragma once
// The owners of the visible top-level windows on the X11 display named by DISPLAY.
//
// Top-level windows are the root's mapped (viewable) children. Under a reparenting window
// manager these are frames; the application's window is the descendant carrying WM_STATE (at
// most two levels down), and without a window manager the root child is the application's
// window itself. The owner is that window's _NET_WM_PID; where the property is missing, the
// X-Resource extension names the pid of the local client that created the window. Windows
// whose owner cannot be told give 0 (the list leaves them out).

#include <cstdint>
#include <vector>

#include "tamsel/audio/result.hpp"

namespace tamsel::host::linux_host {

// Fails with "enumerate application windows: ..." when there is no display to talk to or the
// root's window tree cannot be read.
Result<std::vector<std::uint32_t>> mapped_top_level_window_owners();

}  // namespace tamsel::host::linux_host
