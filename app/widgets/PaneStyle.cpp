#include <QApplication>
#include <QPalette>

#include "app/widgets/GradientProgress.h"
#include "app/widgets/PaneStatusBar.h"

// The look of one pane, and the drawing rules shared by its kinds.

namespace {

QColor MenuColour(QPalette::ColorRole role, const QColor& fallback) {
    if (!qApp) {
        return fallback;
    }
    return QApplication::palette("QMenu").color(QPalette::Active, role);
}

}  // namespace

// --- PaneStyle ---------------------------------------------------------------------------------

PaneStyle::PaneStyle() {
    const QColor menu = MenuColour(QPalette::Window, QColor(240, 240, 240));
    disabledTextColour = QColor(menu.red() / 2, menu.green() / 2, menu.blue() / 2);
    textColour = MenuColour(QPalette::WindowText, QColor(Qt::black));
    disabledBackColour = menu;
    backColour = menu;
    if (qApp) {
        font = QApplication::font();
    }
}

PaneStyle::PaneStyle(const PaneStyle& other)
    : disabledTextColour(other.disabledTextColour),
      textColour(other.textColour),
      disabledBackColour(other.disabledBackColour),
      backColour(other.backColour),
      disabledText(other.disabledText),
      text(other.text),
      font(other.font),
      flags(other.flags),
      scrollX(other.scrollX),
      scrollY(other.scrollY) {}

PaneStyle& PaneStyle::operator=(const PaneStyle& other) {
    if (this == &other) {
        return *this;
    }
    DestroyControl();
    disabledTextColour = other.disabledTextColour;
    textColour = other.textColour;
    disabledBackColour = other.disabledBackColour;
    backColour = other.backColour;
    disabledText = other.disabledText;
    text = other.text;
    font = other.font;
    flags = other.flags;
    scrollX = other.scrollX;
    scrollY = other.scrollY;
    return *this;
}

PaneStyle::~PaneStyle() {
    DestroyControl();
}

GradientProgress* PaneStyle::control() const {
    return m_control.data();
}

void PaneStyle::DestroyControl() {
    if (m_control) {
        delete m_control.data();
    }
}

void PaneStyle::SetFlags(uint32_t newFlags) {
    flags = newFlags;
    if (!(flags & PSF_CONTROL)) {
        DestroyControl();
        return;
    }
    if (m_control) {
        return;
    }
    PaneStatusBar* bar = m_bar ? m_bar.data() : PaneStatusBar::Current();
    if (!bar) {
        // No bar to host it: the pane stays a control pane without a control.
        return;
    }
    m_control = new GradientProgress(bar, (flags & PSF_SMOOTH) ? PBS_SMOOTH : 0);
    m_control->setGeometry(QRect());
    m_control->show();
    bar->LayoutControls();
    bar->update();
}

int NextScrollOffset(int offset, int contentExtent, int paneExtent) {
    const int next = offset + 1;
    return next > contentExtent ? -paneExtent : next;
}

int DrawTextFlagsToQt(uint32_t drawFlags) {
    int qt = 0;
    qt |= (drawFlags & DT_CENTER)  ? Qt::AlignHCenter
          : (drawFlags & DT_RIGHT) ? Qt::AlignRight
                                   : Qt::AlignLeft;
    qt |= (drawFlags & DT_VCENTER)  ? Qt::AlignVCenter
          : (drawFlags & DT_BOTTOM) ? Qt::AlignBottom
                                    : Qt::AlignTop;
    if (drawFlags & DT_SINGLELINE) {
        qt |= Qt::TextSingleLine;
    }
    if (drawFlags & DT_WORDBREAK) {
        qt |= Qt::TextWordWrap;
    }
    if (drawFlags & DT_EXPANDTABS) {
        qt |= Qt::TextExpandTabs;
    }
    if (drawFlags & DT_NOCLIP) {
        qt |= Qt::TextDontClip;
    }
    if (!(drawFlags & DT_NOPREFIX)) {
        qt |= Qt::TextShowMnemonic;
    }
    return qt;
}
