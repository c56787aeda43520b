#include "app/pages/LoginPage.h"

#include <QCheckBox>
#include <QGridLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "app/session/LoginSession.h"
#include "app/session/SessionSettings.h"

LoginPage::LoginPage(QWidget* parent) : SheetPage(parent) {
    setWindowTitle(QStringLiteral("Login"));

    auto* userLabel = new QLabel(QStringLiteral("User Name"), this);
    m_user = new QLineEdit(this);
    m_user->setObjectName(QStringLiteral("user"));
    m_user->setToolTip(QStringLiteral("Enter your user name here"));
    userLabel->setBuddy(m_user);

    auto* passwordLabel = new QLabel(QStringLiteral("Password"), this);
    m_password = new QLineEdit(this);
    m_password->setObjectName(QStringLiteral("password"));
    m_password->setEchoMode(QLineEdit::Password);
    m_password->setToolTip(QStringLiteral("Enter your password here"));
    passwordLabel->setBuddy(m_password);

    m_autoLogin = new QCheckBox(QStringLiteral("Auto Login"), this);
    m_autoLogin->setToolTip(QStringLiteral("Check this box to login automatically everytime"));

    m_login = new QPushButton(QStringLiteral("Login"), this);
    m_login->setToolTip(
        QStringLiteral("Click to login after entering your user name and password"));
    m_login->setDefault(true);

    auto* layout = new QGridLayout(this);
    layout->addWidget(userLabel, 0, 0);
    layout->addWidget(m_user, 1, 0);
    layout->addWidget(passwordLabel, 0, 1);
    layout->addWidget(m_password, 1, 1);
    layout->addWidget(m_autoLogin, 2, 0);
    layout->addWidget(m_login, 2, 1, Qt::AlignRight);
    layout->setRowStretch(3, 1);

    connect(m_login, &QPushButton::clicked, this, &LoginPage::loginRequested);
    m_user->installEventFilter(this);
    m_password->installEventFilter(this);
    connect(m_autoLogin, &QCheckBox::clicked, this, &LoginPage::autoLoginClicked);
    connect(m_autoLogin, &QCheckBox::clicked, this,
            [](bool checked) { session_settings::WriteAutoLogin(checked); });
}

void LoginPage::OnInitDialog() {
    const bool autoLogin = session_settings::AutoLogin();
    m_autoLogin->setChecked(autoLogin);
    if (autoLogin) {
        QString user;
        QString password;
        session_settings::ReadCredentials(&user, &password);
        SetCredentials(user, password);
    }
}

void LoginPage::AttachSession(LoginSession* session) {
    m_session = session;
    connect(this, &LoginPage::loginRequested, this, &LoginPage::Login);
    connect(session, &LoginSession::loginStarted, this, [this] { m_login->setEnabled(false); });
    connect(session, &LoginSession::loginFinished, this,
            [this](int state) { m_login->setEnabled(state != LoginSession::kLoggedIn); });
    connect(session, &LoginSession::loggedOff, this, [this] { m_login->setEnabled(true); });
}

void LoginPage::Login() {
    if (m_session) {
        m_session->Login(UserName(), Password());
    }
}

QString LoginPage::UserName() const {
    return m_user->text();
}

QString LoginPage::Password() const {
    return m_password->text();
}

void LoginPage::SetCredentials(const QString& user, const QString& password) {
    m_user->setText(user);
    m_password->setText(password);
}

bool LoginPage::eventFilter(QObject* watched, QEvent* event) {
    if ((watched == m_user || watched == m_password) && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            // Enter in either field logs in once, whether or not the page sits in a dialog
            // whose default button would also see the key.
            if (m_login->isEnabled()) {
                m_login->click();
            }
            return true;
        }
    }
    return SheetPage::eventFilter(watched, event);
}
