#include "app/widgets/PaneStatusBar.h"

#include <QApplication>
#include <QFontMetrics>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPixmapCache>
#include <QTimerEvent>
#include <QWindow>

#include <algorithm>

#include "app/widgets/GradientProgress.h"

namespace {

constexpr int kLeftMargin = 2;
constexpr int kPaneGap = 2;
constexpr int kPaneTop = 3;  // below the bar's top border
constexpr int kTextPadding = 8;

QPointer<PaneStatusBar>& CurrentBar() {
    static QPointer<PaneStatusBar> bar;
    return bar;
}

PaneStatusBar::MessageHook& MessageHookSlot() {
    static PaneStatusBar::MessageHook hook;
    return hook;
}

// Start of a run of tiles of size `tile` that covers [begin, ...) when shifted by `offset`.
int FirstTile(int begin, int offset, int tile) {
    int start = begin - offset;
    if (tile <= 0) {
        return start;
    }
    if (start > begin) {
        start -= ((start - begin + tile - 1) / tile) * tile;
    }
    return start;
}

}  // namespace

// --- PaneStatusBar -----------------------------------------------------------------------------

PaneStatusBar::PaneStatusBar(QWidget* parent) : QWidget(parent) {
    CurrentBar() = this;
    // Moves are passed on to the owner whether or not a button is held.
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
}

PaneStatusBar::~PaneStatusBar() {
    m_scrollTimer.stop();
    m_styles.clear();  // destroys the hosted controls
    if (m_owner) {
        m_owner->removeEventFilter(this);
    }
}

PaneStatusBar* PaneStatusBar::Current() {
    return CurrentBar().data();
}

void PaneStatusBar::SetMessageHook(MessageHook hook) {
    MessageHookSlot() = std::move(hook);
}

bool PaneStatusBar::Create(QWidget* owner, const unsigned* indicatorIds, int count,
                           uint32_t firstPaneStyle) {
    const QString failure = QStringLiteral("Unable to create Statusbar.");
    if (!owner || count < 0 || (count > 0 && !indicatorIds)) {
        if (MessageHookSlot()) {
            MessageHookSlot()(owner, failure);
        } else {
            QMessageBox::warning(owner, QApplication::applicationDisplayName(), failure);
        }
        return false;
    }
    m_owner = owner;
    setParent(owner);
    setProperty("controlId", AFX_IDW_STATUS_BAR);
    SetIndicators(indicatorIds, count);
    if (count > 0) {
        SetPaneInfo(0, m_panes[0].id, firstPaneStyle, m_panes[0].width);
    }
    if (!owner->layout()) {
        // Without a layout the bar keeps itself along the owner's bottom edge.
        owner->installEventFilter(this);
        PlaceAtBottom();
    }
    show();
    return true;
}

QString PaneStatusBar::IndicatorText(unsigned) const {
    return {};
}

bool PaneStatusBar::SetIndicators(const unsigned* ids, int count) {
    if (count < 0 || (count > 0 && !ids)) {
        return false;
    }
    m_styles.clear();
    m_panes.assign(size_t(count), Pane{});
    const QFontMetrics metrics(font());
    for (int i = 0; i < count; ++i) {
        Pane& pane = m_panes[size_t(i)];
        pane.id = ids[i];
        if (pane.id != ID_SEPARATOR) {
            pane.text = IndicatorText(pane.id);
            pane.width = metrics.horizontalAdvance(pane.text) + kTextPadding;
        }
        auto style = std::make_unique<PaneStyle>();
        style->m_bar = this;
        m_styles.push_back(std::move(style));
    }
    LayoutControls();
    update();
    return true;
}

PaneStyle* PaneStatusBar::GetPaneStyle(int i) {
    if (i < 0 || i >= GetCount()) {
        return nullptr;
    }
    return m_styles[size_t(i)].get();
}

void PaneStatusBar::SaveState(int i) {
    if (PaneStyle* style = GetPaneStyle(i)) {
        m_saved.insert_or_assign(i, *style);
    }
}

void PaneStatusBar::RestoreState(int i) {
    const auto it = m_saved.find(i);
    if (it != m_saved.end()) {
        if (PaneStyle* style = GetPaneStyle(i)) {
            *style = it->second;  // destroys the pane's hosted control
        }
        m_saved.erase(it);
    }
    update();
}

void PaneStatusBar::SetPaneInfo(int i, unsigned id, uint32_t style, int width) {
    if (i < 0 || i >= GetCount()) {
        return;
    }
    Pane& pane = m_panes[size_t(i)];
    pane.id = id;
    pane.style = style;
    pane.width = std::max(width, 0);
    LayoutControls();
    update();
}

void PaneStatusBar::GetPaneInfo(int i, unsigned& id, uint32_t& style, int& width) const {
    if (i < 0 || i >= GetCount()) {
        id = ID_SEPARATOR;
        style = SBPS_NORMAL;
        width = 0;
        return;
    }
    const Pane& pane = m_panes[size_t(i)];
    id = pane.id;
    style = pane.style;
    width = pane.width;
}

bool PaneStatusBar::SetPaneText(int i, const QString& text, bool updateNow) {
    if (i < 0 || i >= GetCount()) {
        return false;
    }
    m_panes[size_t(i)].text = text;
    if (updateNow) {
        repaint(GetItemRect(i));
    } else {
        update(GetItemRect(i));
    }
    return true;
}

QString PaneStatusBar::GetPaneText(int i) const {
    return i >= 0 && i < GetCount() ? m_panes[size_t(i)].text : QString();
}

unsigned PaneStatusBar::GetItemID(int i) const {
    return i >= 0 && i < GetCount() ? m_panes[size_t(i)].id : ID_SEPARATOR;
}

int PaneStatusBar::CommandToIndex(unsigned id) const {
    for (int i = 0; i < GetCount(); ++i) {
        if (m_panes[size_t(i)].id == id) {
            return i;
        }
    }
    return -1;
}

QRect PaneStatusBar::SizeGripRect() const {
    const int side = std::max(height() - kPaneTop, 0);
    return QRect(width() - side, kPaneTop, side, side);
}

QRect PaneStatusBar::GetItemRect(int i) const {
    if (i < 0 || i >= GetCount()) {
        return {};
    }
    // Fixed panes keep their widths; the first stretching pane takes what is left.
    int fixed = 0;
    int firstStretch = -1;
    for (int j = 0; j < GetCount(); ++j) {
        const Pane& pane = m_panes[size_t(j)];
        if ((pane.style & SBPS_STRETCH) && firstStretch < 0) {
            firstStretch = j;
        } else {
            fixed += pane.width;
        }
    }
    const int gaps = kPaneGap * std::max(GetCount() - 1, 0);
    const int grip = m_sizeGrip ? SizeGripRect().width() : 0;
    const int spare = std::max(width() - kLeftMargin - gaps - grip - fixed - kLeftMargin, 0);
    int x = kLeftMargin;
    for (int j = 0; j < i; ++j) {
        x += (j == firstStretch ? spare : m_panes[size_t(j)].width) + kPaneGap;
    }
    const int w = i == firstStretch ? spare : m_panes[size_t(i)].width;
    return QRect(x, kPaneTop, w, std::max(height() - kPaneTop - 1, 0));
}

QSize PaneStatusBar::sizeHint() const {
    int w = kLeftMargin * 2;
    for (const Pane& pane : m_panes) {
        w += pane.width + kPaneGap;
    }
    return QSize(std::max(w, 100), fontMetrics().height() + kPaneTop + 5);
}

QSize PaneStatusBar::minimumSizeHint() const {
    return QSize(0, sizeHint().height());
}

void PaneStatusBar::LayoutControls() {
    for (int i = 0; i < GetCount(); ++i) {
        const PaneStyle& style = *m_styles[size_t(i)];
        if (GradientProgress* control = style.control()) {
            // The control covers the pane including its border.
            const QRect target = GetItemRect(i).adjusted(-1, -1, 1, 1);
            if (control->geometry() != target) {
                control->setGeometry(target);
            }
        }
    }
}

void PaneStatusBar::PlaceAtBottom() {
    if (!m_owner) {
        return;
    }
    const int h = sizeHint().height();
    setGeometry(0, m_owner->height() - h, m_owner->width(), h);
    raise();
}

bool PaneStatusBar::eventFilter(QObject* watched, QEvent* event) {
    if (watched == m_owner && event->type() == QEvent::Resize) {
        PlaceAtBottom();
    }
    return QWidget::eventFilter(watched, event);
}

void PaneStatusBar::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    LayoutControls();
}

void PaneStatusBar::hideEvent(QHideEvent* event) {
    // Nothing scrolls while the bar cannot be seen; the next paint starts the timer again.
    m_scrollTimer.stop();
    QWidget::hideEvent(event);
}

void PaneStatusBar::timerEvent(QTimerEvent* event) {
    if (event->timerId() == m_scrollTimer.timerId()) {
        update();
        return;
    }
    QWidget::timerEvent(event);
}

void PaneStatusBar::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    const QPalette& pal = palette();
    painter.fillRect(rect(), pal.color(QPalette::Button));
    painter.setPen(pal.color(QPalette::Mid));
    painter.drawLine(0, 0, width() - 1, 0);

    LayoutControls();
    bool animated = false;
    for (int i = 0; i < GetCount(); ++i) {
        const QRect r = GetItemRect(i);
        const uint32_t paneStyle = m_panes[size_t(i)].style;
        if (!(paneStyle & SBPS_NOBORDERS) && r.width() > 1 && r.height() > 1) {
            const bool raised = paneStyle & SBPS_POPOUT;
            const QColor topLeft = pal.color(raised ? QPalette::Light : QPalette::Dark);
            const QColor bottomRight = pal.color(raised ? QPalette::Dark : QPalette::Light);
            painter.setPen(topLeft);
            painter.drawLine(r.topLeft(), r.topRight());
            painter.drawLine(r.topLeft(), r.bottomLeft());
            painter.setPen(bottomRight);
            painter.drawLine(r.bottomLeft(), r.bottomRight());
            painter.drawLine(r.topRight(), r.bottomRight());
        }
        const bool enabled = !(paneStyle & SBPS_DISABLED);
        const QRect inner = r.adjusted(1, 1, -1, -1);
        const PaneStyle& style = *m_styles[size_t(i)];
        if (style.flags & PSF_ANIMATED) {
            animated = true;
        }
        if (inner.isEmpty()) {
            continue;
        }
        painter.fillRect(inner, enabled ? style.backColour : style.disabledBackColour);
        painter.save();
        painter.setClipRect(inner);
        if (style.flags & PSF_CONTROL) {
            // The hosted control paints itself over the pane.
        } else if (style.flags & PSF_BITMAP) {
            PaintBitmap(painter, i, inner);
        } else {
            PaintText(painter, i, inner, enabled);
        }
        painter.restore();
    }

    if (animated) {
        if (!m_scrollTimer.isActive()) {
            m_scrollTimer.start(kScrollPeriodMs, this);
        }
    } else {
        m_scrollTimer.stop();
    }

    if (m_sizeGrip) {
        const QRect grip = SizeGripRect();
        for (int k = 4; k < grip.width(); k += 4) {
            painter.setPen(pal.color(QPalette::Light));
            painter.drawLine(grip.right() - k + 1, grip.bottom(), grip.right(),
                             grip.bottom() - k + 1);
            painter.setPen(pal.color(QPalette::Dark));
            painter.drawLine(grip.right() - k + 2, grip.bottom(), grip.right(),
                             grip.bottom() - k + 2);
        }
    }
}

void PaneStatusBar::PaintText(QPainter& painter, int i, const QRect& inner, bool enabled) {
    PaneStyle& style = *m_styles[size_t(i)];
    QString text = enabled ? style.text : style.disabledText;
    if (text.isEmpty()) {
        text = m_panes[size_t(i)].text;
    }
    const bool hscroll = style.flags & PSF_HSCROLL;
    const bool vscroll = style.flags & PSF_VSCROLL;
    uint32_t drawFlags = style.flags & PSF_DRAW_MASK;
    if (hscroll) {
        drawFlags &= ~(DT_CENTER | DT_RIGHT);
    }
    const int qtFlags = DrawTextFlagsToQt(drawFlags);
    const QFontMetrics metrics(style.font);
    painter.setFont(style.font);
    painter.setPen(enabled ? style.textColour : style.disabledTextColour);

    int contentWidth = 0;
    int contentHeight = 0;
    if (style.flags & PSF_REPEAT) {
        const QString unit = text + QStringLiteral("  ");
        contentWidth = std::max(metrics.horizontalAdvance(unit), 1);
        contentHeight = std::max(metrics.height(), 1);
        const int x0 = FirstTile(inner.left(), hscroll ? style.scrollX : 0, contentWidth);
        const int tileFlags = (qtFlags & ~Qt::AlignHorizontal_Mask) | Qt::AlignLeft;
        auto drawRow = [&](const QRect& row) {
            for (int x = x0; x <= inner.right(); x += contentWidth) {
                painter.drawText(QRect(x, row.top(), contentWidth, row.height()), tileFlags, unit);
            }
        };
        if (vscroll) {
            for (int y = FirstTile(inner.top(), style.scrollY, contentHeight); y <= inner.bottom();
                 y += contentHeight) {
                drawRow(QRect(inner.left(), y, inner.width(), contentHeight));
            }
        } else {
            drawRow(inner);
        }
    } else {
        uint32_t elide = drawFlags & (DT_END_ELLIPSIS | DT_PATH_ELLIPSIS | DT_WORD_ELLIPSIS);
        if (elide && !hscroll) {
            text = metrics.elidedText(text,
                                      (elide & DT_PATH_ELLIPSIS) ? Qt::ElideMiddle : Qt::ElideRight,
                                      inner.width(), qtFlags);
        }
        const QRect extent = metrics.boundingRect(inner, qtFlags, text);
        contentWidth = extent.width();
        contentHeight = extent.height();
        QRect target = inner;
        if (hscroll) {
            target.translate(-style.scrollX, 0);
            target.setWidth(std::max(target.width(), contentWidth));
        }
        if (vscroll) {
            target.translate(0, -style.scrollY);
            target.setHeight(std::max(target.height(), contentHeight));
        }
        painter.drawText(target, qtFlags, text);
    }
    if (hscroll) {
        style.scrollX = NextScrollOffset(style.scrollX, contentWidth, inner.width());
    }
    if (vscroll) {
        style.scrollY = NextScrollOffset(style.scrollY, contentHeight, inner.height());
    }
}

void PaneStatusBar::PaintBitmap(QPainter& painter, int i, const QRect& inner) {
    PaneStyle& style = *m_styles[size_t(i)];
    if (style.text.isEmpty()) {
        return;
    }
    // Panes repaint every 100 ms while they scroll: keep the decoded image in the cache.
    const QString key = QStringLiteral("zorvo-pane:") + style.text;
    QPixmap pixmap;
    if (!QPixmapCache::find(key, &pixmap)) {
        if (!pixmap.load(style.text)) {
            return;
        }
        QPixmapCache::insert(key, pixmap);
    }
    const bool hscroll = style.flags & PSF_HSCROLL;
    const bool vscroll = style.flags & PSF_VSCROLL;
    const int w = pixmap.width();
    const int h = pixmap.height();
    const uint32_t align = style.flags & PSF_DRAW_MASK;
    const int alignedX = (align & 1)   ? inner.left() + (inner.width() - w) / 2
                         : (align & 2) ? inner.right() + 1 - w
                                       : inner.left();
    const int alignedY = (align & 4)   ? inner.top() + (inner.height() - h) / 2
                         : (align & 8) ? inner.bottom() + 1 - h
                                       : inner.top();

    if (style.flags & PSF_STRETCH) {
        painter.drawPixmap(inner, pixmap);
    } else if (style.flags & PSF_REPEAT) {
        // A row when scrolling sideways, a column when scrolling up, else the whole pane.
        const bool rows = hscroll || !vscroll;
        const bool columns = vscroll || !hscroll;
        const int x0 = rows ? FirstTile(inner.left(), hscroll ? style.scrollX : 0, w) : alignedX;
        const int y0 = columns ? FirstTile(inner.top(), vscroll ? style.scrollY : 0, h) : alignedY;
        for (int y = y0; y <= (columns ? inner.bottom() : y0); y += h) {
            for (int x = x0; x <= (rows ? inner.right() : x0); x += w) {
                painter.drawPixmap(x, y, pixmap);
            }
        }
    } else {
        painter.drawPixmap(alignedX - (hscroll ? style.scrollX : 0),
                           alignedY - (vscroll ? style.scrollY : 0), pixmap);
    }
    if (hscroll) {
        style.scrollX = NextScrollOffset(style.scrollX, w, inner.width());
    }
    if (vscroll) {
        style.scrollY = NextScrollOffset(style.scrollY, h, inner.height());
    }
}

void PaneStatusBar::ForwardMouse(QMouseEvent* event) {
    emit mouseMessage(event->type(), event->position().toPoint(), event->button(), event->buttons(),
                      event->modifiers());
}

void PaneStatusBar::mousePressEvent(QMouseEvent* event) {
    ForwardMouse(event);
    if (event->button() == Qt::LeftButton && m_sizeGrip &&
        SizeGripRect().contains(event->position().toPoint())) {
        if (QWindow* handle = window()->windowHandle()) {
            handle->startSystemResize(Qt::BottomEdge | Qt::RightEdge);
        }
    }
}

void PaneStatusBar::mouseReleaseEvent(QMouseEvent* event) {
    ForwardMouse(event);
}

void PaneStatusBar::mouseDoubleClickEvent(QMouseEvent* event) {
    ForwardMouse(event);
}

void PaneStatusBar::mouseMoveEvent(QMouseEvent* event) {
    ForwardMouse(event);
}
