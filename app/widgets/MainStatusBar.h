#pragma once

#include <QMetaObject>

#include <functional>
#include <optional>

#include "app/widgets/PaneStatusBar.h"

// The command state of one pane, asked of the parent window at idle time: what the handler sets
// is applied to the pane, what it leaves unset stays as it is.
struct PaneCmdUI {
    unsigned id = ID_SEPARATOR;
    int index = 0;
    std::optional<bool> enable;
    std::optional<QString> text;
};

// The main window's status bar: no size grip, indicator texts from the program's string table,
// and pane state brought up to date whenever the event loop falls idle while the bar is visible.
class MainStatusBar : public PaneStatusBar {
    Q_OBJECT

  public:
    static constexpr unsigned kIndicatorA = 0xE702;  // 59138
    static constexpr unsigned kIndicatorB = 0xE703;  // 59139

    explicit MainStatusBar(QWidget* parent = nullptr);
    ~MainStatusBar() override;

    // The parent window's answer for each pane; an empty handler stops the idle updates.
    using UpdateHandler = std::function<void(PaneCmdUI& state)>;
    void SetUpdateHandler(UpdateHandler handler);

    // Applies the handler to every pane while the bar is visible.
    void OnIdleUpdateCmdUI();

  protected:
    QString IndicatorText(unsigned id) const override;

  private:
    UpdateHandler m_update;
    QMetaObject::Connection m_idle;
};
