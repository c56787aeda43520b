#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <mutex>
#include <string>

#include "app/settings/DeviceChoice.h"

class QThread;

// Which microphone and speaker the next engine and the ringing sounds use: the environment's
// override, else the device chosen in the settings, checked against the devices present. Asking
// the sound library for its devices takes about a second against a sound server, so the check
// runs on a thread of its own and its outcome arrives as a signal on the owner's thread.
class AudioRoute : public QObject {
    Q_OBJECT
  public:
    struct Endpoints {
        devices::Resolved microphone;
        devices::Resolved speaker;
    };
    // What finds the endpoints (devices::Microphone and devices::Speaker by default); runs on the
    // route's thread.
    using Resolver = std::function<Endpoints()>;

    explicit AudioRoute(QObject* parent = nullptr, Resolver resolver = {});
    // Waits for a check still running.
    ~AudioRoute() override;

    // Checks the devices again; a check that is running is followed by a new one when it ends.
    void Refresh();
    bool Busy() const { return m_thread != nullptr; }

    // The status-bar text of the last check: one sentence per device that is gone; else empty.
    static QString StatusText(const Endpoints& endpoints);

  signals:
    // A check is done; `endpoints` hold what the next engine is to use.
    void resolved(const AudioRoute::Endpoints& endpoints);

  private:
    void Start();
    void OnFinished();

    Resolver m_resolver;
    QThread* m_thread = nullptr;
    bool m_again = false;
    std::mutex m_lock;
    Endpoints m_result;  // written by the thread, read after it has finished
};
