#include "util/Statistics.h"

#include <cstring>
#include <mutex>

unsigned char Statistics::m_sLastFromMic[Statistics::kFrameBytes];
unsigned char Statistics::m_sLastFromNet[Statistics::kFrameBytes];

namespace {

std::mutex& FrameLock() {
    static std::mutex lock;
    return lock;
}

void FreeDebugText(intptr_t text) {
    delete[] reinterpret_cast<char*>(text);
}

constexpr const char* kStatusNames[] = {
    "STATUS_BYTES_SENT",    "STATUS_BYTES_RECEIVED", "STATUS_DEBUG_TEXT", "STATUS_MIC_FRAME",
    "STATUS_NET_FRAME",     "STATUS_REMOTE_HANGUP",  "STATUS_CONNECTED",  "STATUS_SERVER_ERROR",
    "STATUS_INCOMING_CALL", "STATUS_CONNECT_FAILED", "STATUS_RINGING",    "STATUS_CONNECTION_LOST",
    "STATUS_ROUND_TRIP",
};

}  // namespace

const char* EngineStatusName(unsigned code) {
    if (code < kFirstEngineStatus || code > kLastEngineStatus) {
        return nullptr;
    }
    return kStatusNames[code - kFirstEngineStatus];
}

Statistics::Statistics(HWND window) : m_hWnd(window) {
    ClearFrames();
}

Statistics::~Statistics() {
    ClearFrames();
}

void Statistics::ClearFrames() {
    std::lock_guard lock(FrameLock());
    std::memset(m_sLastFromMic, 0, kFrameBytes);
    std::memset(m_sLastFromNet, 0, kFrameBytes);
}

unsigned Statistics::AddDebugMsg(const char* text) {
    const char* source = text ? text : "";
    const std::size_t length = std::strlen(source);
    char* copy = new char[length + 1];
    std::memcpy(copy, source, length + 1);
    PostOwnedMessage(m_hWnd, WM_ENGINE_STATUS, STATUS_DEBUG_TEXT, reinterpret_cast<intptr_t>(copy),
                     &FreeDebugText);
    return 0;
}

int Statistics::NotifyStatus(unsigned code, uintptr_t value) {
    SendNotifyMessage(m_hWnd, WM_ENGINE_STATUS, code, static_cast<intptr_t>(value));
    return 1;
}

void Statistics::StoreLastFromMic(const void* frame) {
    std::lock_guard lock(FrameLock());
    std::memcpy(m_sLastFromMic, frame, kFrameBytes);
}

void Statistics::StoreLastFromNet(const void* frame) {
    std::lock_guard lock(FrameLock());
    std::memcpy(m_sLastFromNet, frame, kFrameBytes);
}

void Statistics::CopyLastFromMic(void* out) {
    std::lock_guard lock(FrameLock());
    std::memcpy(out, m_sLastFromMic, kFrameBytes);
}

void Statistics::CopyLastFromNet(void* out) {
    std::lock_guard lock(FrameLock());
    std::memcpy(out, m_sLastFromNet, kFrameBytes);
}

uintptr_t Statistics::LastFromMicAddress() {
    return reinterpret_cast<uintptr_t>(m_sLastFromMic);
}

uintptr_t Statistics::LastFromNetAddress() {
    return reinterpret_cast<uintptr_t>(m_sLastFromNet);
}
