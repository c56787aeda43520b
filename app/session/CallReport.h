#pragma once

#include <atomic>
#include <cstdint>
#include <string>

class CWebClient;
struct ServerInfo;

// The figures of a call report, captured by the window at the moment a report is asked for, so
// that sending it later never touches the engine (which may be gone by then).
struct CallFigures {
    bool connected = false;  // the engine was there and connected
    int64_t callStart = 0;   // seconds (system clock) when the call became connected
    double avgDelay = 0.0;   // mean round-trip delay of the call so far, in ms
    std::string remoteUser;  // the other party
    bool newCall = false;    // the opening report of a call: forget the last record id
};

// Whole minutes from start to now, rounded toward zero.
int ReportMinutes(int64_t callStart, int64_t now);

// The mean delay as sent: rounded toward zero.
int ReportDelay(double avgDelay);

// Seconds since the epoch, as callStart is taken.
int64_t ReportClockNow();

// Sends one "iamtalking.asp" report for `user` with `figures`, or nothing when the call is not
// connected. The first "+" reply of a call sets `sessionId` (while it is 0); every other reply
// is ignored. Returns true when a request was sent and answered.
bool SendCallReport(CWebClient& web, const ServerInfo& server, const std::string& user,
                    const CallFigures& figures, std::atomic<int>& sessionId, int64_t now);
