#pragma once

#include "app/pages/SheetPage.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;
class LoginSession;

// The page "Login": user name, password, "Auto Login" and the "Login" button. The page only
// collects the credentials; the login itself is run by whoever listens to loginRequested().
class LoginPage : public SheetPage {
    Q_OBJECT
  public:
    explicit LoginPage(QWidget* parent = nullptr);

    QLineEdit* UserEdit() const { return m_user; }
    QLineEdit* PasswordEdit() const { return m_password; }
    QPushButton* LoginButton() const { return m_login; }
    QCheckBox* AutoLoginCheck() const { return m_autoLogin; }

    QString UserName() const;
    QString Password() const;
    void SetCredentials(const QString& user, const QString& password);

    // Runs the login of `session` with this page: "Login" (and Enter) logs in with the
    // fields, the button is disabled while a login runs and enabled again unless logged in.
    void AttachSession(LoginSession* session);

  public slots:
    // Logs in with the fields' credentials (the button, Enter, an automatic login).
    void Login();

  signals:
    // The "Login" button was pressed (or Enter in one of the fields).
    void loginRequested();
    // The user clicked "Auto Login"; `checked` is its new state.
    void autoLoginClicked(bool checked);

  protected:
    // Each time the page joins the sheet: "Auto Login" from the settings and, when it is on,
    // the saved user name and password in the fields.
    void OnInitDialog() override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QLineEdit* m_user = nullptr;
    QLineEdit* m_password = nullptr;
    QPushButton* m_login = nullptr;
    QCheckBox* m_autoLogin = nullptr;
    LoginSession* m_session = nullptr;
};
