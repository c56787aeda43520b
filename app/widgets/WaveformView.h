#pragma once

#include <QFrame>
#include <QPoint>
#include <QVector>

#include <array>
#include <cstdint>

// Samples in one frame: 200 ms at 8000 samples per second.
constexpr int kWaveFrameSamples = 1600;

// Maps one frame onto a view of windowWidth x windowHeight pixels (borders included): point i is
// (i, half + span * sample / 65535) for the sample at i * (1600 / width), where span is the
// height less 5 and half is span / 2; at most min(width, 1600) points. Samples are skipped,
// never averaged; positive samples lie below the middle. Returns the number of points written.
int MapFrameToTrace(const int16_t* samples, int windowWidth, int windowHeight,
                    std::array<QPoint, kWaveFrameSamples>& points);

// Two waveform traces on black: the last frame recorded from the microphone and the last frame
// received from the network, each kept until the next one arrives or Clear is called.
class WaveformView : public QFrame {
    Q_OBJECT

  public:
    // Which trace SetTrace fills: the status codes that announce the frames.
    static constexpr unsigned kMicTrace = 4;
    static constexpr unsigned kNetTrace = 5;

    static const QColor kMicColour;  // 206, 255, 0
    static const QColor kNetColour;  // 0, 154, 255

    explicit WaveformView(QWidget* parent = nullptr);

    // Builds the trace `which` (kMicTrace or kNetTrace; others are ignored) from 1600 samples
    // and repaints at once.
    void SetTrace(unsigned which, const int16_t* samples);
    // As above from a copied frame; a short frame is padded with silence.
    void SetTrace(unsigned which, const QVector<int16_t>& frame);

    // Zeroes both traces and repaints the whole view.
    void Clear();

    const std::array<QPoint, kWaveFrameSamples>& MicPoints() const { return m_micPoints; }
    const std::array<QPoint, kWaveFrameSamples>& NetPoints() const { return m_netPoints; }

    QSize sizeHint() const override;

  public slots:
    void SetMicFrame(const QVector<int16_t>& frame) { SetTrace(kMicTrace, frame); }
    void SetNetFrame(const QVector<int16_t>& frame) { SetTrace(kNetTrace, frame); }

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    std::array<QPoint, kWaveFrameSamples> m_micPoints{};
    std::array<QPoint, kWaveFrameSamples> m_netPoints{};
};
