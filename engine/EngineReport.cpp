#include "engine/EngineReport.h"

#include <cstdarg>
#include <cstdio>

#include "util/MessageBox.h"

void EngineReport::Debug(const char* format, ...) {
    if (!m_pStats) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    m_pStats->AddDebugMsg(text);
}

void EngineReport::Status(unsigned code, uintptr_t value) {
    if (m_pStats) {
        m_pStats->NotifyStatus(code, value);
    }
}

void EngineReport::Box(const char* text, const char* caption) {
    MessageBox(text, caption);
}

void EngineReport::ReceiveFailure(const char* text, const char* caption, bool callUp) {
    Debug("%s", text);
    if (callUp && m_receiveBoxShown.exchange(1) == 0) {
        MessageBox(text, caption);
    }
}

void EngineReport::Oversized(const UdpLink::Fault& fault, int socket, bool callUp) {
    if (fault.truncated == 0) {
        return;
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "Recv [WSAEMSGSIZE] Failed on socket %x, bufsize=%d,  recvsize=%d", socket,
                  static_cast<int>(fault.offered), static_cast<int>(fault.truncated));
    ReceiveFailure(text, "MSGSIZE ERROR", callUp);
}
