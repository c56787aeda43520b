// The record-send thread: capture, voice detection, compression and every send of a call.

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <memory>
#include <string>

#include "compress/CIface.h"
#include "engine/MessageLoop.h"
#include "engine/VoiceDetector.h"
#include "engine/Voxlane.h"
#include "util/MessageBox.h"
#include "util/TickCount.h"

using namespace zorvo::wire;

// Everything one run of the record-send thread keeps from frame to frame; allocated once per call.
struct Voxlane::SendState {
    SendState() : voice(voiceBytes, sizeof voiceBytes) {
        BuildRecord(voiceBytes, sizeof voiceBytes, MSG_VOICE);
    }

    std::unique_ptr<CIface> codec{GetCIface()};
    uint8_t voiceBytes[kHeaderSize + kVoicePayload];
    ZorvoMsg voice;
    char frame[kFrameBytes];
    char held[kFrameBytes];  // the last silent frame not sent
    uint8_t probe[kSetupBufferSize];
    int heldSent = 1;  // 0 while `held` waits to lead the next speech
    unsigned silentRun = 0;
};

uint32_t Voxlane::_RecordSendThreadFunc(void* engine) {
    static_cast<Voxlane*>(engine)->_RecordSendLoop();
    return 0;
}

int Voxlane::_HasVoice(const char* samples, unsigned count) const {
    return FrameHasVoice(samples, count, m_nSensitivity.load());
}

void Voxlane::_HandleSendFailure() {
    const std::string text = m_report.SendFailure(m_link.Handle(), errno);
    m_report.Debug("%s", text.c_str());
    _ConnectionLost(m_timing.sendFailurePauseMs);
}

void Voxlane::_RecordSendLoop() {
    m_report.Debug("Starting r-s thread");
    if (!m_handshake.ListenOnly() && !m_recorder.Start(GetCurrentThreadId())) {
        return;  // no microphone: the call goes on receive-only
    }
    if (m_recorder.DeviceLatency() > 0) {
        m_report.Debug("Capture device latency %.1f ms%s", m_recorder.DeviceLatency() * 1000,
                       m_recorder.IsProcessing() ? ", echo cancellation on" : "");
    }
    SendState state;
    m_report.Debug("R-S thread started");

    RunMessageLoop([this] { return !m_state.Stopping(); },
                   [&](const ThreadMsg& msg) { _OnSendThreadMessage(state, msg); });

    if (m_state.Move(CallPhase::kConnected, CallPhase::kEnded)) {
        _SendRecord(MSG_HANGUP);
    }
    m_report.Debug("Exitting record send thread");
    m_recorder.Stop();
}

void Voxlane::_OnSendThreadMessage(SendState& state, const ThreadMsg& msg) {
    switch (msg.message) {
        case MM_WIM_DATA:
            _OnCapturedBuffer(state);
            break;
        case WM_ENGINE_RESET:
            m_recorder.Reset();
            break;
        case WM_ENGINE_SEND_PROBE:
            m_report.Debug("Sending R U There");
            _SendProbe(state, MSG_R_U_THERE, GetTickCount());
            break;
        case WM_ENGINE_SEND_REPLY:
            m_report.Debug("Sending I am here");
            _SendProbe(state, MSG_I_AM_HERE, static_cast<uint32_t>(msg.wParam));
            break;
        default:
            break;
    }
}

void Voxlane::_SendProbe(SendState& state, uint8_t type, uint32_t tick) {
    const std::size_t size = BuildProbe(state.probe, sizeof state.probe, type, tick);
    _SendZorvoMsg(ZorvoMsg(state.probe, size));  // the result is not examined
}

bool Voxlane::_SendFrame(SendState& state, const char* samples) {
    state.codec->CompressInto(samples, kFrameSamples, state.voice);
    if (_SendZorvoMsg(state.voice)) {
        return true;
    }
    _HandleSendFailure();
    return false;
}

bool Voxlane::_HoldBackMuted(SendState& state) const {
    if (!m_muted.load()) {
        return false;
    }
    // Held back like a long silence, but nothing of it is kept to lead the next speech: what was
    // said while muted never leaves the machine. After unmuting, silence stays held back.
    state.heldSent = 1;
    state.silentRun = std::max(state.silentRun, m_nNoVoiceThreshold.load());
    return true;
}

void Voxlane::_OnCapturedBuffer(SendState& state) {
    const int index = m_recorder.CurrentBuffer();
    if (!m_recorder.IsBufferDone(index)) {
        Beep(200, 300);
        return;
    }
    if (m_state.Stopping() || !state.codec) {
        m_recorder.BufferDone();
        return;
    }
    std::memcpy(state.frame, m_recorder.BufferData(index), kFrameBytes);
    m_recorder.BufferDone();
    if (!m_link.IsOpen()) {
        return;  // the line is gone and was reported: wait for Stop
    }
    if (_HoldBackMuted(state)) {
        return;
    }
    const int speech = _HasVoice(state.frame, kFrameSamples);
    if (speech) {
        state.silentRun = 0;
    } else if (state.silentRun >= m_nNoVoiceThreshold.load()) {
        std::memcpy(state.held, state.frame, kFrameBytes);
        state.heldSent = 0;
        ++state.silentRun;
        return;
    }
    if (!state.heldSent) {
        m_report.Debug("Sending a previous novoice packet");
        if (!_SendFrame(state, state.held)) {
            return;
        }
    }
    if (!_SendFrame(state, state.frame)) {
        return;
    }
    Statistics::StoreLastFromMic(state.frame);
    m_report.Status(STATUS_MIC_FRAME, Statistics::LastFromMicAddress());
    m_report.Status(STATUS_BYTES_SENT, state.voice.Length());
    state.heldSent = 1;
    if (!speech) {
        ++state.silentRun;
    }
}
