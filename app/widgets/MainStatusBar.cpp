#include "app/widgets/MainStatusBar.h"

#include <QAbstractEventDispatcher>

MainStatusBar::MainStatusBar(QWidget* parent) : PaneStatusBar(parent) {
    m_sizeGrip = false;
}

MainStatusBar::~MainStatusBar() {
    QObject::disconnect(m_idle);
}

QString MainStatusBar::IndicatorText(unsigned id) const {
    switch (id) {
        case kIndicatorA:
            return QStringLiteral("a");
        case kIndicatorB:
            return QStringLiteral("b");
        default:
            return {};
    }
}

void MainStatusBar::SetUpdateHandler(UpdateHandler handler) {
    m_update = std::move(handler);
    QObject::disconnect(m_idle);
    m_idle = {};
    if (!m_update) {
        return;
    }
    // "Idle" is the moment the event loop is about to wait for the next event.
    if (QAbstractEventDispatcher* dispatcher = QAbstractEventDispatcher::instance(thread())) {
        m_idle = connect(dispatcher, &QAbstractEventDispatcher::aboutToBlock, this,
                         &MainStatusBar::OnIdleUpdateCmdUI);
    }
}

void MainStatusBar::OnIdleUpdateCmdUI() {
    if (!m_update || !isVisible()) {
        return;
    }
    for (int i = 0; i < GetCount(); ++i) {
        PaneCmdUI state;
        state.index = i;
        unsigned id = 0;
        uint32_t style = 0;
        int width = 0;
        GetPaneInfo(i, id, style, width);
        state.id = id;
        m_update(state);
        if (state.enable) {
            const uint32_t wanted =
                *state.enable ? (style & ~SBPS_DISABLED) : (style | SBPS_DISABLED);
            if (wanted != style) {
                SetPaneInfo(i, id, wanted, width);
            }
        }
        if (state.text && *state.text != GetPaneText(i)) {
            SetPaneText(i, *state.text, false);
        }
    }
}
