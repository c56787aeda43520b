// The receive-play thread and its play-callback thread: every datagram of a call, playback and
// the round-trip measurement.

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "compress/CIface.h"
#include "engine/Voxlane.h"
#include "util/TickCount.h"

using namespace zorvo::wire;

uint32_t Voxlane::_ReceivePlayThreadFunc(void* engine) {
    static_cast<Voxlane*>(engine)->_ReceivePlayLoop();
    return 0;
}

void Voxlane::_ConnectionLost() {
    m_pStats->NotifyStatus(STATUS_CONNECTION_LOST, 0);
    _Pause(m_timing.lostPauseMs);
}

void Voxlane::_ReceivePlayLoop() {
    Thread playCallback(&Voxlane::_PlayThreadFunc, this);
    playCallback.Resume();
    _Debug("Started Recv-Play thread");
    std::unique_ptr<CIface> codec(GetCIface());
    // Allocated once per call: the 32 KiB datagram buffer, the decoded and the playback frame.
    std::vector<uint8_t> buffer(kCallBufferSize);
    char decoded[kFrameBytes] = {};
    char playback[kFrameBytes];
    uint32_t idleWaits = 0;

    while (!m_bStopIssued.load()) {
        uint32_t received = static_cast<uint32_t>(buffer.size());
        sockaddr_in from{};
        const int n = _ReceiveData(buffer.data(), &received, m_timing.callReceiveWaitMs, &from);
        if (n == 0) {
            _Debug("Checking stop issued? from RecvPlay");
            if (++idleWaits == m_timing.idleWaitLimit) {
                _Debug("Idle timeout in receiving data. Closing connection");
                if (!m_bStopIssued.load()) {
                    _CloseSocketLocked();
                    _ConnectionLost();
                }
                break;
            }
            continue;
        }
        if (n < 0) {
            _Debug("Error receiving data");
            if (m_bStopIssued.load()) {
                break;
            }
            _CloseSocketLocked();
            _Debug("Closing connection RecvFails from RecvPlay..");
            _ConnectionLost();
            break;
        }
        idleWaits = 0;
        if (from.sin_addr.s_addr != m_remoteAddr.sin_addr.s_addr) {
            char sender[INET_ADDRSTRLEN], expected[INET_ADDRSTRLEN];
            inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
            inet_ntop(AF_INET, &m_remoteAddr.sin_addr, expected, sizeof expected);
            _Debug("Dropping message from %s Expected only from %s", sender, expected);
            continue;
        }
        ZorvoMsg msg(buffer.data(), received);
        if (msg.Type() == MSG_VOICE && msg.HasHeader()) {
            m_pStats->NotifyStatus(STATUS_BYTES_RECEIVED, msg.Length());
            if (msg.Length() > msg.DataSize()) {
                msg.SetLength(static_cast<uint32_t>(msg.DataSize()));
            }
            if (codec) {
                uint32_t size = kFrameBytes;
                codec->Decompress(&msg, decoded, &size);
            }
            std::memcpy(playback, decoded, kFrameBytes);
            if (m_player.IsOpen()) {
                m_player.AddBuffer(playback);
            }
            Statistics::StoreLastFromNet(playback);
            m_pStats->NotifyStatus(STATUS_NET_FRAME, Statistics::LastFromNetAddress());
        } else {
            _ProcessMessage(msg, from);
        }
    }

    PostThreadMessage(playCallback.GetID(), WM_ENGINE_RESET, 0, 0);
    playCallback.WaitForDeath(INFINITE);
    _Debug("Exitting recv play thread");
}

int Voxlane::_ProcessMessage(const ZorvoMsg& msg, const sockaddr_in& /*from*/) {
    switch (msg.Type()) {
        case MSG_HANGUP:
            _Debug("Hangup request received");
            if (!m_bStopIssued.load()) {
                m_pStats->NotifyStatus(STATUS_REMOTE_HANGUP, 0);
            }
            break;
        case MSG_R_U_THERE:
            _Debug("R U There received");
            if (m_recordSendThread.IsRunning()) {
                PostThreadMessage(m_recordSendThread.GetID(), WM_ENGINE_SEND_REPLY, msg.TickValue(),
                                  0);
            }
            break;
        case MSG_I_AM_HERE: {
            const uint32_t delay = GetTickCount() - msg.TickValue();  // right across a wrap
            _Debug("I am here received delay = %4.2f ", delay * 0.001);
            m_pStats->NotifyStatus(STATUS_ROUND_TRIP, delay);
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
    if (!m_player.Start(GetCurrentThreadId())) {
        return;
    }
    _Debug("Starting play callback thread");
    bool leaving = false;
    ThreadMsg msg;
    for (;;) {
        if (!m_bStopIssued.load() && !leaving) {
            GetMessage(msg);
        } else if (!PeekMessage(msg, true)) {
            break;
        }
        if (msg.message == MM_WOM_DONE) {
            m_player.PlayComplete();
        } else if (msg.message == WM_ENGINE_RESET) {
            m_player.Reset();
            leaving = true;
        }
        DisposeMessage(msg);
    }
    m_player.Stop();
    _Debug("Exitting play callback thread");
}
