// The process-wide message box. A connection that cannot open its database
// shows the provider's message in a modal box; the window installs a hook
// that shows a real one. Without a hook (command line, tests) the box is the
// line "caption: text" on standard error.
#pragma once

#include <functional>

// Shows text under caption with an OK button and returns when it is closed.
using Msg_Box_Hook = std::function<void(const char* text, const char* caption)>;

// Installs hook (an empty one restores the standard-error line) and returns
// the hook that was installed before.
Msg_Box_Hook Msg_Box_Set_Hook(Msg_Box_Hook hook);

// Shows the box through the installed hook; null texts count as empty.
void Msg_Box_Show(const char* text, const char* caption);
