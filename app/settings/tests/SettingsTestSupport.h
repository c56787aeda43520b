#pragma once

#include <QTemporaryDir>

// Points the settings file (ZORVO_CONFIG_DIR) and the desktop's configuration folder
// (XDG_CONFIG_HOME, where the autostart entry goes) at a fresh folder for one test.
class PrivateConfig {
  public:
    PrivateConfig() {
        qputenv("ZORVO_CONFIG_DIR", (m_dir.path() + "/Mervane").toUtf8());
        qputenv("XDG_CONFIG_HOME", (m_dir.path() + "/config").toUtf8());
    }
    ~PrivateConfig() {
        qunsetenv("ZORVO_CONFIG_DIR");
        qunsetenv("XDG_CONFIG_HOME");
    }
    QString Path() const { return m_dir.path(); }

  private:
    QTemporaryDir m_dir;
};
