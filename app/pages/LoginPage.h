#pragma once

#include "app/pages/SheetPage.h"

class QCheckBox;
class QLabel;
class QLineEdit;
class QPushButton;

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

  signals:
    // The "Login" button was pressed (or Enter in one of the fields).
    void loginRequested();
    // The user clicked "Auto Login"; `checked` is its new state.
    void autoLoginClicked(bool checked);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    QLineEdit* m_user = nullptr;
    QLineEdit* m_password = nullptr;
    QPushButton* m_login = nullptr;
    QCheckBox* m_autoLogin = nullptr;
};
