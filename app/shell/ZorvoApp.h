#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <memory>

class QLocalServer;
class CMainDialog;

// The program as a whole: one copy per user, the main window, and the bridge between the engine's
// messages and Qt's event loop. A second start of the program "pulses" the first one, which beeps
// and brings its window to the front, and then ends.
class CZorvoApp : public QObject {
    Q_OBJECT
  public:
    CZorvoApp();
    ~CZorvoApp() override;

    // Returns false when another copy runs (it has been pulsed) or the main window could not be
    // made; the program then ends.
    bool InitInstance(const QStringList& arguments);

    CMainDialog* MainWindow() const { return m_mainWindow.get(); }

    // The per-user name of the instance channel.
    static QString InstanceName();
    // True when "DontShow" appears anywhere in the command line, in any case.
    static bool WantsHidden(const QStringList& arguments);

  private:
    void OnPulse();

    QLocalServer* m_hInstanceEvent = nullptr;
    std::unique_ptr<CMainDialog> m_mainWindow;
};
