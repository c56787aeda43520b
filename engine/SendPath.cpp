// The record-send thread: capture, voice detection, compression and every send of a call.

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include "compress/CIface.h"
#include "engine/VoiceDetector.h"
#include "engine/Voxlane.h"
#include "util/MessageBox.h"
#include "util/TickCount.h"

using namespace zorvo::wire;

uint32_t Voxlane::_RecordSendThreadFunc(void* engine) {
    static_cast<Voxlane*>(engine)->_RecordSendLoop();
    return 0;
}

int Voxlane::_HasVoice(const char* samples, unsigned count) const {
    return FrameHasVoice(samples, count, m_nSensitivity.load());
}

void Voxlane::_HandleSendFailure() {
    char text[160];
    std::snprintf(text, sizeof text, "Send Failed on socket %x , Error = %d", m_socket.load(),
                  errno);
    MessageBox(text, "Send Failed");
    _Debug("%s", text);
    _CloseSocketLocked();
    m_pStats->NotifyStatus(STATUS_CONNECTION_LOST, 0);
    _Pause(m_timing.sendFailurePauseMs);
}

void Voxlane::_RecordSendLoop() {
    _Debug("Starting r-s thread");
    if (!m_bListenOnly.load() && !m_recorder.Start(GetCurrentThreadId())) {
        return;  // no microphone: the call goes on receive-only
    }
    std::unique_ptr<CIface> codec(GetCIface());
    // Every buffer of the call is allocated here, once.
    uint8_t voiceBytes[kHeaderSize + kVoicePayload];
    ZorvoMsg voice(voiceBytes, sizeof voiceBytes);
    BuildRecord(voiceBytes, sizeof voiceBytes, MSG_VOICE);
    char frame[kFrameBytes];
    char held[kFrameBytes];
    uint8_t probe[kSetupBufferSize];
    int heldSent = 1;
    unsigned silentRun = 0;
    _Debug("R-S thread started");

    auto sendFrame = [&](const char* samples) {
        codec->Compress(samples, kFrameSamples, &voice);
        return _SendZorvoMsg(voice);
    };

    ThreadMsg msg;
    for (;;) {
        if (!m_bStopIssued.load()) {
            GetMessage(msg);
        } else if (!PeekMessage(msg, true)) {
            break;
        }
        switch (msg.message) {
            case MM_WIM_DATA: {
                const int index = m_recorder.CurrentBuffer();
                if (!m_recorder.IsBufferDone(index)) {
                    Beep(200, 300);
                    break;
                }
                if (m_bStopIssued.load() || !codec) {
                    m_recorder.BufferDone();
                    break;
                }
                std::memcpy(frame, m_recorder.BufferData(index), kFrameBytes);
                m_recorder.BufferDone();
                if (m_socket.load() == -1) {
                    break;  // the line is gone and was reported: wait for Stop
                }
                const int speech = _HasVoice(frame, kFrameSamples);
                if (speech) {
                    silentRun = 0;
                } else if (silentRun >= m_nNoVoiceThreshold.load()) {
                    std::memcpy(held, frame, kFrameBytes);
                    heldSent = 0;
                    ++silentRun;
                    break;
                }
                if (!heldSent) {
                    _Debug("Sending a previous novoice packet");
                    if (!sendFrame(held)) {
                        _HandleSendFailure();
                        break;
                    }
                }
                if (!sendFrame(frame)) {
                    _HandleSendFailure();
                    break;
                }
                Statistics::StoreLastFromMic(frame);
                m_pStats->NotifyStatus(STATUS_MIC_FRAME, Statistics::LastFromMicAddress());
                m_pStats->NotifyStatus(STATUS_BYTES_SENT, voice.Length());
                heldSent = 1;
                if (!speech) {
                    ++silentRun;
                }
                break;
            }
            case WM_ENGINE_RESET:
                m_recorder.Reset();
                break;
            case WM_ENGINE_SEND_PROBE: {
                _Debug("Sending R U There");
                const std::size_t size =
                    BuildProbe(probe, sizeof probe, MSG_R_U_THERE, GetTickCount());
                _SendZorvoMsg(ZorvoMsg(probe, size));
                break;
            }
            case WM_ENGINE_SEND_REPLY: {
                _Debug("Sending I am here");
                const std::size_t size = BuildProbe(probe, sizeof probe, MSG_I_AM_HERE,
                                                    static_cast<uint32_t>(msg.wParam));
                _SendZorvoMsg(ZorvoMsg(probe, size));
                break;
            }
            default:
                break;
        }
        DisposeMessage(msg);
    }

    if (m_bConnected.load()) {
        _SendRecord(MSG_HANGUP);
        m_bConnected.store(0);
    }
    _Debug("Exitting record send thread");
    m_recorder.Stop();
}
