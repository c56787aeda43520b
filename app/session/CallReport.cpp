#include "app/session/CallReport.h"

#include <chrono>
#include <cmath>

#include "directory/client/Requests.h"
#include "directory/client/WebClient.h"

int ReportMinutes(int64_t callStart, int64_t now) {
    return static_cast<int>((now - callStart) / 60);
}

int ReportDelay(double avgDelay) {
    if (!std::isfinite(avgDelay) || std::fabs(avgDelay) > 2.0e9) {
        return 0;  // nothing a real call produces; keeps the conversion defined
    }
    return static_cast<int>(avgDelay);
}

int64_t ReportClockNow() {
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

bool SendCallReport(CWebClient& web, const ServerInfo& server, const std::string& user,
                    const CallFigures& figures, std::atomic<int>& sessionId, int64_t now) {
    if (!figures.connected) {
        return false;
    }
    const int current = sessionId.load();
    const std::string target =
        CallReportTarget(server, user, figures.remoteUser, ReportMinutes(figures.callStart, now),
                         current, ReportDelay(figures.avgDelay));
    std::string reply;
    if (!web.Get(server.host, target, &reply)) {
        return false;
    }
    const int id = SessionIdFromReply(reply, current);
    int expected = 0;
    if (id != 0) {
        sessionId.compare_exchange_strong(expected, id);  // only the first answer counts
    }
    return true;
}
