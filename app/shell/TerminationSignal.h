#pragma once

#include <QObject>
#include <QSocketNotifier>

#include <memory>

// Turns SIGTERM and SIGINT into a signal on the GUI thread. The handler only writes one byte to
// a socket pair (the one thing a signal handler may safely do); the GUI thread's event loop
// watches the other end, so nothing polls while the program waits for a signal that may never
// come. One instance per program.
class TerminationSignal : public QObject {
    Q_OBJECT

  public:
    explicit TerminationSignal(QObject* parent = nullptr);
    ~TerminationSignal() override;

    // False when the socket pair could not be made; the default handlers then stay in place.
    bool IsWatching() const { return m_notifier != nullptr; }

  signals:
    // The session or the user asked the program to end.
    void requested();

  private:
    void OnReadable();

    std::unique_ptr<QSocketNotifier> m_notifier;
};
