#pragma once

#include <QObject>
#include <QTimer>

#include <atomic>
#include <list>
#include <memory>

class SessionState;
class Thread;

// Pushes the saved buddy list to the directory server ("SyncBList.asp") about once a minute
// after a change. MarkDirty() records a change; every tick of the timer starts one sync worker
// when logged in and dirty. The worker reads the list saved for the logged-in user, so the
// server follows the saved copy. Workers run on their own (their replies are not used) and each
// tells the GUI thread of its end, which then lets go of it.
class BuddySync : public QObject {
    Q_OBJECT
  public:
    explicit BuddySync(SessionState* state, QObject* parent = nullptr);
    ~BuddySync() override;  // waits for workers still running (bounded by the time-outs)

    // The check period (60000 ms in the program); the timer runs from construction on.
    void SetIntervalMs(int ms) { m_timer.setInterval(ms); }

    bool IsDirty() const { return m_bDirty.load() != 0; }
    // How many workers were started so far.
    int SyncsStarted() const { return m_nStarted; }

    // The longest stored text a sync sends: whole names up to this many bytes.
    static constexpr int kMaxStoredBytes = 2047;

  public slots:
    // The list was added to, renamed in or deleted from.
    void MarkDirty() { m_bDirty = 1; }
    // The list was replaced from the server's copy at login, or the page was created again.
    void ClearDirty() { m_bDirty = 0; }
    // The timer's work: starts a worker when logged in and dirty.
    void Check();

  signals:
    // A worker has ended (for tests and diagnostics).
    void syncFinished();

  private:
    struct Job;
    static uint32_t SyncWorker(void* argument);
    // On the GUI thread, queued by the worker as its last act.
    void OnWorkerEnded(const Job* job);

    SessionState* m_state;
    QTimer m_timer;
    std::atomic<int> m_bDirty{0};
    int m_nStarted = 0;
    std::list<std::unique_ptr<Job>> m_jobs;
};
