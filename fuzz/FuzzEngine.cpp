// Arbitrary datagrams against three live engines on loopback: a listening callee, a caller waiting
// for its callee's answer, and an engine in a call. Each input goes to all three. Every few hundred
// inputs the listening engine must still ring for a well-formed connect request.

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "engine/Voxlane.h"
#include "testsupport/FastTiming.h"
#include "testsupport/StatusLog.h"
#include "util/MessageBox.h"
#include "util/Messages.h"
#include "util/Statistics.h"
#include "util/Thread.h"

namespace {

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

struct Socket {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint16_t port = 0;
    Socket() {
        sockaddr_in local = Loopback(0);
        bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
        port = ntohs(local.sin_port);
    }
    ~Socket() { close(fd); }
    void SendTo(const sockaddr_in& to, const uint8_t* data, size_t size) const {
        sendto(fd, data, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    }
    // Receives one datagram within `ms`; the sender goes into `from`.
    int Receive(std::vector<uint8_t>& out, int ms, sockaddr_in* from = nullptr) const {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, ms) <= 0) {
            return -1;
        }
        out.resize(2048);
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        const ssize_t n =
            recvfrom(fd, out.data(), out.size(), 0, reinterpret_cast<sockaddr*>(&sender), &length);
        if (from) {
            *from = sender;
        }
        return static_cast<int>(n);
    }
    void Drain() const {
        std::vector<uint8_t> junk;
        while (Receive(junk, 0) >= 0) {
        }
    }
};

// A window on its own thread: rejects every incoming call at once and notes calls that end.
struct Window {
    std::atomic<int> ended{0};
    testsupport::StatusLog log{testsupport::StatusLog::Keep::kCountsOnly};
    HWND hwnd = log.Window();
    Window() {
        log.OnEvent([this](const testsupport::Event& e) {
            if (e.code == STATUS_INCOMING_CALL) {
                Voxlane::WriteDecision(e.value, DECISION_REJECT);
            } else if (e.code == STATUS_REMOTE_HANGUP || e.code == STATUS_CONNECTION_LOST ||
                       e.code == STATUS_CONNECT_FAILED || e.code == STATUS_SERVER_ERROR) {
                ended++;
            }
        });
    }
};

// The tests' fast timings, shortened further: a fuzz input must not wait.
EngineTiming FuzzTiming() {
    EngineTiming t = testsupport::FastTiming();
    t.callerReceiveWaitMs = 50;
    t.calleeReceiveWaitMs = 50;
    t.listenErrorPauseMs = 1;
    t.nonConnectPauseMs = 1;
    t.ringPauseMs = 0;
    t.decisionPollMs = 1;
    t.answerPauseMs = 0;
    t.callReceiveWaitMs = 50;
    t.idleWaitLimit = 1000000;
    t.lostPauseMs = 0;
    t.sendFailurePauseMs = 1;
    return t;
}

struct Side {
    Window window;
    Statistics stats{window.hwnd};
    std::unique_ptr<Voxlane> engine;
    std::unique_ptr<Thread> connect;
    void Reset() {
        if (engine) {
            engine->Stop();
        }
        if (connect) {
            connect->WaitForDeath(INFINITE);
        }
        connect.reset();
        engine.reset();
        window.ended = 0;
    }
};

class Harness {
  public:
    Harness() {
        SetMessageBoxHook([](const std::string&, const std::string&) {});
        EngineOptions options;
        options.microphone = options.speaker = "none";
        options.timing = FuzzTiming();
        m_options = options;
        m_listenPort = m_portProbe.port;
        close(m_portProbe.fd);
        m_portProbe.fd = -1;
        StartListener();
        StartWaitingCaller();
        StartCall();
    }

    void Feed(const uint8_t* data, size_t size) {
        m_sender.SendTo(Loopback(m_listenPort), data, size);
        if (m_waitingCaller.engine) {
            m_calleeOfWaiting.SendTo(m_waitingPeer, data, size);
        }
        if (m_inCall.engine) {
            m_calleeOfCall.SendTo(m_callPeer, data, size);
        }
        if (m_listener.window.ended) {
            StartListener();
        }
        if (m_waitingCaller.window.ended) {
            StartWaitingCaller();
        }
        if (m_inCall.window.ended || (m_inCall.engine && !m_inCall.engine->IsConnected())) {
            StartCall();
        }
        if (++m_inputs % 500 == 0) {
            CheckListenerAnswers();
        }
    }

  private:
    // The listening server ends, as it is meant to, when sending its answer fails: the checker
    // below closes its socket once it has heard the ringing, and the ICMP "port unreachable" for
    // the first copy of the rejection can fail the second. Or its port is taken while it renews
    // its socket. The program then listens anew, and so does the harness.
    void StartListener() {
        m_listener.Reset();
        m_listener.engine =
            std::make_unique<Voxlane>(m_listenPort, 1, &m_listener.stats, "bob", m_options);
        m_listener.engine->StartServer();
    }

    void StartWaitingCaller() {
        m_waitingCaller.Reset();
        m_calleeOfWaiting.Drain();
        m_waitingCaller.engine =
            std::make_unique<Voxlane>(0, 0, &m_waitingCaller.stats, "alice", m_options);
        in_addr loopback{htonl(INADDR_LOOPBACK)};
        m_waitingCaller.engine->InitConnect(loopback, m_calleeOfWaiting.port);
        m_waitingCaller.connect =
            std::make_unique<Thread>(&Voxlane::_Connect, m_waitingCaller.engine.get());
        m_waitingCaller.connect->Resume();
        std::vector<uint8_t> request;
        if (m_calleeOfWaiting.Receive(request, 2000, &m_waitingPeer) < 0) {
            std::fprintf(stderr, "fuzz-engine: the caller sent no connect request\n");
            std::abort();
        }
    }

    void StartCall() {
        m_inCall.Reset();
        m_calleeOfCall.Drain();
        m_inCall.engine = std::make_unique<Voxlane>(0, 0, &m_inCall.stats, "carol", m_options);
        in_addr loopback{htonl(INADDR_LOOPBACK)};
        m_inCall.engine->InitConnect(loopback, m_calleeOfCall.port);
        m_inCall.connect = std::make_unique<Thread>(&Voxlane::_Connect, m_inCall.engine.get());
        m_inCall.connect->Resume();
        std::vector<uint8_t> request;
        if (m_calleeOfCall.Receive(request, 2000, &m_callPeer) < 0) {
            std::fprintf(stderr, "fuzz-engine: the calling engine sent no connect request\n");
            std::abort();
        }
        const uint8_t accept[13] = {'Q', 'V', 'X', 0, MSG_ACCEPT};
        m_calleeOfCall.SendTo(m_callPeer, accept, sizeof accept);
        m_inCall.connect->WaitForDeath(5000);
    }

    // The listening engine must still ring for a good request (the window rejects it).
    void CheckListenerAnswers() {
        Socket checker;
        std::vector<uint8_t> request(zorvo::wire::kSetupBufferSize);
        request.resize(zorvo::wire::BuildConnectRequest(request.data(), request.size(), "check"));
        for (int attempt = 0; attempt < 100; ++attempt) {
            checker.SendTo(Loopback(m_listenPort), request.data(), request.size());
            std::vector<uint8_t> reply;
            for (int n = checker.Receive(reply, 100); n >= 0; n = checker.Receive(reply, 100)) {
                if (n == 13 && reply[4] == MSG_RINGING) {
                    return;
                }
            }
        }
        std::fprintf(stderr,
                     "fuzz-engine: the listening engine no longer answers (server errors %d, "
                     "incoming calls %d)\n",
                     m_listener.window.log.Count(STATUS_SERVER_ERROR),
                     m_listener.window.log.Count(STATUS_INCOMING_CALL));
        std::abort();
    }

    EngineOptions m_options;
    Socket m_portProbe;
    uint16_t m_listenPort = 0;
    Socket m_sender, m_calleeOfWaiting, m_calleeOfCall;
    sockaddr_in m_waitingPeer{}, m_callPeer{};
    Side m_listener, m_waitingCaller, m_inCall;
    unsigned m_inputs = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Harness* harness = new Harness;  // lives for the whole run
    harness->Feed(data, size);
    return 0;
}
