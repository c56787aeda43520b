#pragma once

#include <QDialog>
#include <QString>

class QLabel;
class QLineEdit;
class QTreeWidget;

// The ringing dialog of an incoming call: shows the caller and counts the ring time down once a
// second; when it reaches 0 the call counts as missed and the dialog ends as a rejection.
class CIncomingCallDlg : public QDialog {
    Q_OBJECT
  public:
    static constexpr int TIMER_RING_COUNTDOWN = 85;

    CIncomingCallDlg(const QString& caller, int ringSeconds, QWidget* parent = nullptr);

    int m_bMissed = 0;
    int m_nSecondsLeft;
    QString m_strCaller;

  protected:
    void showEvent(QShowEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void hideEvent(QHideEvent* event) override;

  private:
    void UpdateFields();
    int m_nTimer = 0;
    QLineEdit* m_countdown;
    QLineEdit* m_caller;
};

// The list of calls that rang out unanswered, newest first; kept in memory for the program's
// life and hidden by OK.
class CMissedCallsDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CMissedCallsDlg(QWidget* parent = nullptr);
    int AddMissedCall(const QString& caller);
    QTreeWidget* List() const { return m_list; }

  private:
    QTreeWidget* m_list;
};

// The progress window of an outgoing call. Cancel only records the wish (connectState 2) and
// says so; the attempt is stopped elsewhere, and the window closed when it is over.
class CConnectingDlg : public QDialog {
    Q_OBJECT
  public:
    enum State { kConnecting = 0, kRinging = 1, kCancelling = 2, kFailed = 3 };

    explicit CConnectingDlg(QWidget* parent = nullptr);

    int connectState = kConnecting;
    QString text;
    // Shows `text` in the field.
    void UpdateData();

  public slots:
    void reject() override;

  signals:
    void cancelRequested();

  private:
    QLabel* m_field;
};

// Shown the first time the main window is closed to the tray. Its check box writes
// "DontShowDlgOnMinimize" at each click.
class CTrayInfoDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CTrayInfoDlg(QWidget* parent = nullptr);
    class QCheckBox* CheckBox() const {
        return m_check;
    }

  private:
    class QCheckBox* m_check;
};

class CAboutDlg : public QDialog {
    Q_OBJECT
  public:
    explicit CAboutDlg(QWidget* parent = nullptr);
};
