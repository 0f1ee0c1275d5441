// The message-box hook.
#include "connect/msg_box.h"

#include <cstdio>
#include <mutex>

namespace {

std::mutex& hook_mutex() {
    static std::mutex m;
    return m;
}

Msg_Box_Hook& hook_slot() {
    static Msg_Box_Hook hook;
    return hook;
}

}  // namespace

Msg_Box_Hook Msg_Box_Set_Hook(Msg_Box_Hook hook) {
    std::lock_guard<std::mutex> lock(hook_mutex());
    Msg_Box_Hook old = std::move(hook_slot());
    hook_slot() = std::move(hook);
    return old;
}

void Msg_Box_Show(const char* text, const char* caption) {
    if (text == nullptr) text = "";
    if (caption == nullptr) caption = "";
    Msg_Box_Hook hook;
    {
        // Called outside the lock: a modal box may run for a long time.
        std::lock_guard<std::mutex> lock(hook_mutex());
        hook = hook_slot();
    }
    if (hook) {
        hook(text, caption);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
}
