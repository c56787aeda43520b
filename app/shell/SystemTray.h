#pragma once

#include <QIcon>
#include <QObject>
#include <QString>
#include <QSystemTrayIcon>

class QAction;
class QMenu;

// The program's icon in the desktop's notification area, with its menu. Where the desktop has no
// notification area the program runs without one (Create returns false).
class CSystemTray : public QObject {
    Q_OBJECT
  public:
    // Tray menu commands, in menu order.
    enum Command {
        kTalk = 32794,
        kLogoff = 32797,
        kLogin = 32798,
        kSettings = 32800,
        kExit = 32792
    };

    explicit CSystemTray(QObject* parent = nullptr);
    ~CSystemTray() override;

    bool Create(const QString& tooltip, const QIcon& icon);
    // Shows `command` in bold and runs it when the icon is activated.
    bool SetMenuDefaultItem(int command);
    void RemoveIcon();
    bool IsEnabled() const { return m_bEnabled; }
    QMenu* Menu() const { return m_menu; }
    QAction* Action(int command) const;
    // The icon's activation. A single activation (a click, or what desktops showing the icon as
    // a status notifier item send for one) and a double click both run the default command; the
    // context menu is the desktop's own.
    void OnTrayNotification(QSystemTrayIcon::ActivationReason reason);

  signals:
    // A menu command chosen, or the default command on an activation of the icon.
    void command(int id);
    // The menu is about to open: the owner updates "Login" and "Logoff".
    void aboutToShowMenu();

  private:
    QSystemTrayIcon* m_icon = nullptr;
    QMenu* m_menu = nullptr;
    bool m_bEnabled = false;
    int m_nDefaultItem = 0;
};
