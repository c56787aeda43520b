// The receive-play thread and its play-callback thread: every datagram of a call, playback and
// the round-trip measurement.

#include <chrono>
#include <cstring>
#include <memory>
#include <vector>

#include "compress/CIface.h"
#include "engine/MessageLoop.h"
#include "engine/Voxlane.h"
#include "util/TickCount.h"

using namespace zorvo::wire;

uint32_t Voxlane::_ReceivePlayThreadFunc(void* engine) {
    static_cast<Voxlane*>(engine)->_ReceivePlayLoop();
    return 0;
}

void Voxlane::_ConnectionLost(uint32_t pauseMs) {
    _CloseSocketLocked();
    m_report.Status(STATUS_CONNECTION_LOST, 0);
    m_link.Pause(pauseMs);
}

void Voxlane::_ReceivePlayLoop() {
    Thread playCallback(&Voxlane::_PlayThreadFunc, this);
    playCallback.Resume();
    m_report.Debug("Started Recv-Play thread");
    // Frames that arrive meanwhile wait in the socket. (A device that takes longer than this to
    // open is not waited for: its frames are then dropped as before.)
    m_playerSettled.try_acquire_for(std::chrono::seconds(10));
    std::unique_ptr<CIface> codec(GetCIface());
    // Allocated once per call: the 32 KiB datagram buffer, the decoded and the playback frame.
    std::vector<uint8_t> buffer(kCallBufferSize);
    char decoded[kFrameBytes] = {};
    char playback[kFrameBytes];
    uint32_t idleWaits = 0;

    while (!m_state.Stopping()) {
        uint32_t received = static_cast<uint32_t>(buffer.size());
        sockaddr_in from{};
        const int n = _ReceiveData(buffer.data(), &received, m_timing.callReceiveWaitMs, &from);
        if (n <= 0) {
            if (!_OnQuietReceive(n, &idleWaits)) {
                break;
            }
            continue;
        }
        idleWaits = 0;
        if (!m_report.SenderIsPeer(m_link, from, "Dropping")) {
            continue;
        }
        if (m_cipher && !_Unseal(buffer.data(), &received)) {
            continue;
        }
        ZorvoMsg msg(buffer.data(), received);
        if (msg.Type() == MSG_VOICE && msg.HasHeader()) {
            _PlayVoice(msg, codec.get(), decoded, playback);
        } else {
            _ProcessMessage(msg, from);
        }
    }

    PostThreadMessage(playCallback.GetID(), WM_ENGINE_RESET, 0, 0);
    playCallback.WaitForDeath(INFINITE);
    m_report.Debug("Exitting recv play thread");
}

bool Voxlane::_Unseal(uint8_t* buffer, uint32_t* size) {
    const ZorvoMsg msg(buffer, *size);
    switch (msg.Type()) {
        case MSG_SEALED:
            return m_cipher->Open(buffer, size);
        case MSG_ACCEPT:
            // The callee repeats its answer until it has this side's key half.
            m_handshake.ResendKeyHalf();
            return false;
        case MSG_CONNECT_REQUEST:
        case MSG_RINGING:
        case MSG_KEY:
            return false;  // late copies from the set-up
        default:
            m_cipher->CountDropped();  // nothing else travels in clear once the call is sealed
            return false;
    }
}

bool Voxlane::_OnQuietReceive(int result, uint32_t* idleWaits) {
    if (result == 0) {
        m_report.Debug("Checking stop issued? from RecvPlay");
        if (++*idleWaits != m_timing.idleWaitLimit) {
            return true;
        }
        m_report.Debug("Idle timeout in receiving data. Closing connection");
        if (!m_state.Stopping()) {
            _ConnectionLost(m_timing.lostPauseMs);
        }
        return false;
    }
    m_report.Debug("Error receiving data");
    if (m_state.Stopping()) {
        return false;
    }
    m_report.Debug("Closing connection RecvFails from RecvPlay..");
    _ConnectionLost(m_timing.lostPauseMs);
    return false;
}

void Voxlane::_PlayVoice(ZorvoMsg& msg, CIface* codec, char* decoded, char* playback) {
    m_report.Status(STATUS_BYTES_RECEIVED, msg.Length());
    if (msg.Length() > msg.DataSize()) {
        msg.SetLength(static_cast<uint32_t>(msg.DataSize()));
    }
    if (codec) {
        uint32_t size = kFrameBytes;
        codec->DecompressFrom(msg, decoded, &size);
    }
    std::memcpy(playback, decoded, kFrameBytes);
    if (m_player.IsOpen()) {
        m_player.AddBuffer(playback);
    }
    Statistics::StoreLastFromNet(playback);
    m_report.Status(STATUS_NET_FRAME, Statistics::LastFromNetAddress());
}

int Voxlane::_ProcessMessage(const ZorvoMsg& msg, const sockaddr_in& /*from*/) {
    switch (msg.Type()) {
        case MSG_HANGUP:
            m_report.Debug("Hangup request received");
            if (!m_state.Stopping()) {
                m_report.Status(STATUS_REMOTE_HANGUP, 0);
            }
            break;
        case MSG_R_U_THERE:
            m_report.Debug("R U There received");
            if (m_recordSendThread.IsRunning()) {
                PostThreadMessage(m_recordSendThread.GetID(), WM_ENGINE_SEND_REPLY, msg.TickValue(),
                                  0);
            }
            break;
        case MSG_I_AM_HERE: {
            const uint32_t delay = GetTickCount() - msg.TickValue();  // right across a wrap
            m_report.Debug("I am here received delay = %4.2f ", delay * 0.001);
            m_report.Status(STATUS_ROUND_TRIP, delay);
            break;
        }
        default:
            break;
    }
    return 1;
}

uint32_t Voxlane::_PlayThreadFunc(void* engine) {
    static_cast<Voxlane*>(engine)->_PlayLoop();
    return 0;
}

void Voxlane::_PlayLoop() {
    const int started = m_player.Start(GetCurrentThreadId());
    m_playerSettled.release();
    if (!started) {
        return;
    }
    m_report.Debug("Starting play callback thread");
    if (m_player.DeviceLatency() > 0) {
        m_report.Debug("Playback device latency %.1f ms", m_player.DeviceLatency() * 1000);
    }
    bool leaving = false;  // after the reset: only what is already queued is taken
    RunMessageLoop([&] { return !m_state.Stopping() && !leaving; },
                   [&](const ThreadMsg& msg) {
                       if (msg.message == MM_WOM_DONE) {
                           m_player.PlayComplete();
                       } else if (msg.message == WM_ENGINE_RESET) {
                           m_player.Reset();
                           leaving = true;
                       }
                   });
    m_player.Stop();
    m_report.Debug("Exitting play callback thread");
}
