#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "CallOptions.h"
#include "DirectorySession.h"
#include "engine/Voxlane.h"
#include "util/Messages.h"
#include "util/Statistics.h"
#include "util/Thread.h"

// One call held by zorvo-call: owns the engine, prints its notifications and acts on them as the
// desktop client would (answer, probe every 10 s, hang up, stop on the peer's hang-up).
class CallSession {
  public:
    enum Exit { kCallEnded = 0, kNoCall = 1, kSetupFailed = 2 };

    explicit CallSession(const CallOptions& options);
    ~CallSession();

    // Runs until the session is over; returns the exit status. `stopRequested` is polled: once it
    // is set the call is ended cleanly.
    int Run(const std::atomic<int>& stopRequested);

  private:
    void OnEngineStatus(unsigned code, uintptr_t value);
    void PrintLine(const char* name, const std::string& value);
    bool StartEngine(std::string* error);
    // The identity and encryption the options ask for; false with *error set when the identity
    // cannot be read or made.
    bool SetIdentity(EngineOptions* engineOptions, std::string* error);
    // ENCRYPTED yes|no, and for an encrypted call the SAS and the peer's identity key.
    void PrintSecurity(uintptr_t encrypted);
    bool StartCall(const EngineOptions& engineOptions, std::string* error);
    // A buddy's name into a plan, or into its listed address; false with *error set.
    bool ResolveBuddy(const EngineOptions& engineOptions, in_addr* address,
                      std::optional<CallPlan>* plan, std::string* error);
    // Registers the call port with the rendezvous as a listening client is, before the call
    // page is asked for (the page sends the callee this side's registered address).
    void Register(const EngineOptions& engineOptions);
    void OnCallUp();
    void Report();
    void EndCall(int exitStatus);
    double Now() const;

    CallOptions m_options;
    std::unique_ptr<DirectorySession> m_directory;  // with --service
    std::string m_remote;                           // the other party, for call reports
    double m_meanDelay = 0;
    int m_delaySamples = 0;
    HWND m_window = 0;
    std::unique_ptr<Statistics> m_stats;
    std::unique_ptr<Voxlane> m_engine;
    std::unique_ptr<Thread> m_connectThread;

    bool m_done = false;
    int m_exit = kNoCall;
    bool m_callUp = false;
    double m_started = 0;
    double m_callUpAt = 0;
    double m_nextProbe = 0;
    uintptr_t m_pendingDecisionCell = 0;
    double m_decideAt = 0;
};
