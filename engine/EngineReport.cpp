#include "engine/EngineReport.h"

#include <arpa/inet.h>

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

std::string EngineReport::SocketFailure(const char* call, int socket, int error) {
    char text[160];
    std::snprintf(text, sizeof text, "%s Failed on socket %x , Error = %d", call, socket, error);
    return text;
}

std::string EngineReport::SendFailure(int socket, int error) {
    std::string text = SocketFailure("Send", socket, error);
    Box(text.c_str(), "Send Failed");
    return text;
}

bool EngineReport::SenderIsPeer(const UdpLink& link, const sockaddr_in& from, const char* action) {
    if (link.FromPeer(from)) {
        return true;
    }
    char sender[INET_ADDRSTRLEN];
    char expected[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
    inet_ntop(AF_INET, &link.Peer().sin_addr, expected, sizeof expected);
    Debug("%s message from %s Expected only from %s", action, sender, expected);
    return false;
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
