#include "app/widgets/WaveformView.h"

#include <QPainter>

#include <algorithm>

const QColor WaveformView::kMicColour(206, 255, 0);
const QColor WaveformView::kNetColour(0, 154, 255);

int MapFrameToTrace(const int16_t* samples, int windowWidth, int windowHeight,
                    std::array<QPoint, kWaveFrameSamples>& points) {
    if (!samples || windowWidth <= 0) {
        return 0;
    }
    // A view lower than 5 pixels has no room for a trace: everything lies on its top line
    // (rather than far outside it, as a negative span taken as unsigned would put it).
    const int64_t span = std::max(windowHeight - 5, 0);
    const int64_t half = span / 2;
    const float step = float(kWaveFrameSamples) / float(windowWidth);
    const int count = std::min(windowWidth, kWaveFrameSamples);
    for (int i = 0; i < count; ++i) {
        const int index = std::min(int(float(i) * step), kWaveFrameSamples - 1);
        const int64_t sample = samples[index];
        points[size_t(i)] = QPoint(i, int(half + span * sample / 65535));
    }
    return count;
}

WaveformView::WaveformView(QWidget* parent) : QFrame(parent) {
    // A sunken edge like the read-only edit field the view stands in for.
    setFrameStyle(QFrame::Panel | QFrame::Sunken);
    setLineWidth(2);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

QSize WaveformView::sizeHint() const {
    return QSize(237, 49);
}

void WaveformView::SetTrace(unsigned which, const int16_t* samples) {
    if (!samples || (which != kMicTrace && which != kNetTrace)) {
        return;
    }
    // The frame's size is the whole view, borders included.
    MapFrameToTrace(samples, width(), height(), which == kMicTrace ? m_micPoints : m_netPoints);
    repaint();
}

void WaveformView::SetTrace(unsigned which, const QVector<int16_t>& frame) {
    if (frame.size() >= kWaveFrameSamples) {
        SetTrace(which, frame.constData());
        return;
    }
    QVector<int16_t> padded(frame);
    padded.resize(kWaveFrameSamples);  // new samples are zero
    SetTrace(which, padded.constData());
}

void WaveformView::Clear() {
    m_micPoints.fill(QPoint());
    m_netPoints.fill(QPoint());
    update();
}

void WaveformView::paintEvent(QPaintEvent* event) {
    QFrame::paintEvent(event);
    const QRect client = contentsRect();
    QPainter painter(this);
    painter.fillRect(client, Qt::black);
    painter.setClipRect(client);
    painter.translate(client.topLeft());
    const int count = std::min(client.width(), kWaveFrameSamples);
    if (count <= 0) {
        return;
    }
    painter.setPen(QPen(kMicColour, 1, Qt::SolidLine));
    painter.drawPolyline(m_micPoints.data(), count);
    painter.setPen(QPen(kNetColour, 1, Qt::SolidLine));
    painter.drawPolyline(m_netPoints.data(), count);
}
