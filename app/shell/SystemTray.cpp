#include "app/shell/SystemTray.h"

#include <QAction>
#include <QMenu>
#include <QSystemTrayIcon>

CSystemTray::CSystemTray(QObject* parent) : QObject(parent) {
    m_menu = new QMenu;
    const std::pair<int, const char*> items[] = {{kTalk, "Talk"},
                                                 {kLogoff, "Logoff"},
                                                 {kLogin, "Login"},
                                                 {kSettings, "Settings"},
                                                 {kExit, "Exit"}};
    for (const auto& [id, text] : items) {
        QAction* action = m_menu->addAction(text);
        action->setData(id);
        connect(action, &QAction::triggered, this, [this, id] { emit command(id); });
    }
    connect(m_menu, &QMenu::aboutToShow, this, &CSystemTray::aboutToShowMenu);
}

CSystemTray::~CSystemTray() {
    RemoveIcon();
    delete m_menu;
}

QAction* CSystemTray::Action(int command) const {
    for (QAction* action : m_menu->actions()) {
        if (action->data().toInt() == command) {
            return action;
        }
    }
    return nullptr;
}

bool CSystemTray::Create(const QString& tooltip, const QIcon& icon) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        m_bEnabled = false;
        return false;
    }
    m_icon = new QSystemTrayIcon(icon, this);
    m_icon->setToolTip(tooltip.left(63));
    m_icon->setContextMenu(m_menu);
    connect(m_icon, &QSystemTrayIcon::activated, this, &CSystemTray::OnTrayNotification);
    m_icon->show();
    m_bEnabled = true;
    return true;
}

void CSystemTray::OnTrayNotification(QSystemTrayIcon::ActivationReason reason) {
    // Desktops that show the icon through the status notifier protocol report one activation
    // and never a double click; elsewhere a double click also arrives after its first click, and
    // the default command ("Talk") may run twice without harm.
    const bool activated =
        reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick;
    if (activated && m_nDefaultItem != 0) {
        emit command(m_nDefaultItem);
    }
}

bool CSystemTray::SetMenuDefaultItem(int command) {
    QAction* action = Action(command);
    if (!action) {
        return false;
    }
    m_nDefaultItem = command;
    for (QAction* a : m_menu->actions()) {
        QFont font = a->font();
        font.setBold(a == action);
        a->setFont(font);
    }
    m_menu->setDefaultAction(action);
    return true;
}

void CSystemTray::RemoveIcon() {
    if (m_bEnabled && m_icon) {
        m_icon->hide();
        m_bEnabled = false;
    }
}
