#include "util/MessageBox.h"

#include <cstdio>
#include <memory>
#include <mutex>

namespace {

std::mutex g_hookLock;
std::shared_ptr<const MessageBoxHook> g_hook;
std::shared_ptr<const BeepHook> g_beep;

}  // namespace

void SetMessageBoxHook(MessageBoxHook hook) {
    std::shared_ptr<const MessageBoxHook> next;
    if (hook) {
        next = std::make_shared<const MessageBoxHook>(std::move(hook));
    }
    std::lock_guard lock(g_hookLock);
    g_hook = std::move(next);
}

void MessageBox(const char* text, const char* caption) {
    const std::string body = text ? text : "";
    const std::string title = caption ? caption : "";
    std::shared_ptr<const MessageBoxHook> hook;
    {
        std::lock_guard lock(g_hookLock);
        hook = g_hook;
    }
    if (hook) {
        (*hook)(body, title);
    } else {
        std::fprintf(stderr, "%s: %s\n", title.c_str(), body.c_str());
    }
}

void SetBeepHook(BeepHook hook) {
    std::shared_ptr<const BeepHook> next;
    if (hook) {
        next = std::make_shared<const BeepHook>(std::move(hook));
    }
    std::lock_guard lock(g_hookLock);
    g_beep = std::move(next);
}

void Beep(unsigned frequency, unsigned milliseconds) {
    std::shared_ptr<const BeepHook> hook;
    {
        std::lock_guard lock(g_hookLock);
        hook = g_beep;
    }
    if (hook) {
        (*hook)(frequency, milliseconds);
    }
}
