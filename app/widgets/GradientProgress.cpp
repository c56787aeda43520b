#include "app/widgets/GradientProgress.h"

#include <QPaintEvent>
#include <QPainter>
#include <QTimerEvent>

#include <cstring>

GradientProgress::GradientProgress(QWidget* parent, uint32_t style)
    : QWidget(parent), m_painter([this] { update(); }) {
    // Not marked opaque: with an unpainted track (invalid backgroundColour) whatever lies under
    // the control shows through.
    m_painter.SetStyle(style);
}

GradientProgress::~GradientProgress() = default;

uint32_t GradientProgress::PackRange() const {
    return (uint32_t(uint16_t(m_painter.upper)) << 16) | uint16_t(m_painter.lower);
}

uint32_t GradientProgress::SetRange(uint16_t low, uint16_t high) {
    const uint32_t previous = PackRange();
    m_painter.SetRange(low, high);
    return previous;
}

uint32_t GradientProgress::SetRange32(int low, int high) {
    const uint32_t previous = PackRange();
    m_painter.SetRange(low, high);
    return previous;
}

int GradientProgress::GetRange(bool wantLower, PBRANGE* range) const {
    if (range) {
        range->iLow = m_painter.lower;
        range->iHigh = m_painter.upper;
    }
    return wantLower ? m_painter.lower : m_painter.upper;
}

int GradientProgress::SetPos(int position) {
    return m_painter.SetPos(position);
}

int GradientProgress::DeltaPos(int delta) {
    return m_painter.OffsetPos(delta);
}

int GradientProgress::StepIt() {
    return m_painter.StepIt();
}

int GradientProgress::SetStep(int step) {
    return m_painter.SetStep(step);
}

uint32_t GradientProgress::SetBarColor(const QColor& colour, const QColor& second) {
    m_painter.SetColourStops({colour, second.isValid() ? second : colour});
    return CLR_DEFAULT;
}

uint32_t GradientProgress::SetBkColor(const QColor& colour) {
    m_painter.backgroundColour = colour;
    update();
    return CLR_DEFAULT;
}

bool GradientProgress::SetWindowText(const QString& text) {
    m_painter.customText = text;
    update();
    return true;
}

int GradientProgress::GetWindowText(char* buffer, int size) const {
    if (!buffer || size <= 0) {
        return 0;
    }
    const QByteArray utf8 = m_painter.customText.toUtf8();
    int count = std::min<int>(int(utf8.size()), size - 1);
    // Never cut a character in half.
    while (count > 0 && count < utf8.size() && (uint8_t(utf8[count]) & 0xC0) == 0x80) {
        --count;
    }
    std::memcpy(buffer, utf8.constData(), size_t(count));
    buffer[count] = '\0';
    return count;
}

int GradientProgress::GetWindowTextLength() const {
    return int(m_painter.customText.toUtf8().size());
}

void GradientProgress::SetFont(const std::optional<QFont>& font, bool redraw) {
    m_painter.font = font;
    if (redraw) {
        repaint();
    }
}

void GradientProgress::SetTimer(unsigned id, int milliseconds) {
    m_timers[id].start(std::max(milliseconds, 1), this);
}

void GradientProgress::KillTimer(unsigned id) {
    m_timers.erase(id);
}

bool GradientProgress::IsTimerRunning(unsigned id) const {
    const auto it = m_timers.find(id);
    return it != m_timers.end() && it->second.isActive();
}

void GradientProgress::OnTimer(unsigned id) {
    if (id == kStepTimer) {
        StepIt();
    }
}

void GradientProgress::timerEvent(QTimerEvent* event) {
    for (const auto& [id, timer] : m_timers) {
        if (timer.timerId() == event->timerId()) {
            OnTimer(id);
            return;
        }
    }
    QWidget::timerEvent(event);
}

QSize GradientProgress::sizeHint() const {
    return QSize(150, fontMetrics().height() + 6);
}

void GradientProgress::paintEvent(QPaintEvent*) {
    // Qt already double-buffers the widget, so the painter draws straight into the backing store.
    QPainter painter(this);
    m_painter.Paint(painter, rect(), depth());
}
