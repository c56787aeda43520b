#include "app/widgets/StatisticsDialog.h"
#include "app/widgets/WaveformView.h"

#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QTimer>

#include <gtest/gtest.h>

#include <vector>

namespace {

std::vector<int16_t> Frame(int16_t value) {
    return std::vector<int16_t>(kWaveFrameSamples, value);
}

TEST(WaveformMapping, NarrowViewsSkipSamplesAtEvenSteps) {
    // Each sample encodes its index; a height of 65540 makes the span 65535, so y - half is the
    // sample itself.
    std::vector<int16_t> samples(kWaveFrameSamples);
    for (int i = 0; i < kWaveFrameSamples; ++i) {
        samples[size_t(i)] = int16_t(i * 20);
    }
    std::array<QPoint, kWaveFrameSamples> points{};
    ASSERT_EQ(MapFrameToTrace(samples.data(), 200, 65540, points), 200);
    const int half = 65535 / 2;
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(points[size_t(i)].x(), i);
        ASSERT_EQ((points[size_t(i)].y() - half) / 20, 8 * i) << "point " << i;
    }
    EXPECT_EQ(points[199].y() - half, 1592 * 20);

    // Wider than a frame: 1600 points, each sample used twice.
    std::array<QPoint, kWaveFrameSamples> wide{};
    ASSERT_EQ(MapFrameToTrace(samples.data(), 3200, 65540, wide), kWaveFrameSamples);
    EXPECT_EQ(wide[1].y(), half);
    EXPECT_EQ(wide[3].y(), half + 20);
    EXPECT_EQ(wide[1599].y(), half + 799 * 20);

    // Odd widths never reach past the frame.
    for (int width : {1, 3, 7, 199, 1599}) {
        std::array<QPoint, kWaveFrameSamples> odd{};
        ASSERT_EQ(MapFrameToTrace(samples.data(), width, 65540, odd), width);
        ASSERT_LE(odd[size_t(width - 1)].y() - half, 1599 * 20);
    }
}

TEST(WaveformMapping, ExtremesAndSilenceMapAroundTheMiddle) {
    // Height 49: span 44, half 22.
    std::array<QPoint, kWaveFrameSamples> points{};
    ASSERT_EQ(MapFrameToTrace(Frame(-32768).data(), 200, 49, points), 200);
    EXPECT_EQ(points[0].y(), 0);  // 22 - trunc(44 * 32768 / 65535) = 22 - 22
    ASSERT_EQ(MapFrameToTrace(Frame(0).data(), 200, 49, points), 200);
    EXPECT_EQ(points[0].y(), 22);
    ASSERT_EQ(MapFrameToTrace(Frame(32767).data(), 200, 49, points), 200);
    EXPECT_EQ(points[0].y(), 43);  // 22 + trunc(44 * 32767 / 65535) = 22 + 21
    // Truncation goes toward zero on both sides of the middle.
    ASSERT_EQ(MapFrameToTrace(Frame(-1000).data(), 200, 49, points), 200);
    EXPECT_EQ(points[0].y(), 22);  // 44 * -1000 / 65535 = -0.67
    ASSERT_EQ(MapFrameToTrace(Frame(-3000).data(), 200, 49, points), 200);
    EXPECT_EQ(points[0].y(), 20);  // -2.01

    // Tiny or empty views stay in bounds or get nothing.
    ASSERT_EQ(MapFrameToTrace(Frame(32767).data(), 10, 3, points), 10);
    EXPECT_EQ(points[0].y(), 0);
    points[0] = QPoint(5, 5);
    EXPECT_EQ(MapFrameToTrace(Frame(32767).data(), 0, 49, points), 0);
    EXPECT_EQ(points[0], QPoint(5, 5));
    EXPECT_EQ(MapFrameToTrace(nullptr, 200, 49, points), 0);
}

TEST(WaveformView, TracesDrawInTheirColoursAndClearEmptiesThem) {
    WaveformView view;
    view.resize(200, 49);
    QImage image = view.grab().toImage();
    const QPoint middle(100, 24);
    EXPECT_EQ(image.pixelColor(middle), QColor(Qt::black));

    // The microphone trace: a flat line at the top; the network one in the middle.
    view.SetTrace(WaveformView::kMicTrace, Frame(-32768).data());
    view.SetTrace(WaveformView::kNetTrace, QVector<int16_t>(kWaveFrameSamples, 0));
    view.SetTrace(6, Frame(32767).data());  // not a trace: ignored
    EXPECT_EQ(view.MicPoints()[10].y(), 0);
    EXPECT_EQ(view.NetPoints()[10].y(), 22);
    image = view.grab().toImage();
    const QRect client = view.contentsRect();
    EXPECT_EQ(image.pixelColor(client.left() + 50, client.top() + 0), WaveformView::kMicColour);
    EXPECT_EQ(image.pixelColor(client.left() + 50, client.top() + 22), WaveformView::kNetColour);
    EXPECT_EQ(image.pixelColor(client.left() + 50, client.top() + 10), QColor(Qt::black));

    // A short copied frame is padded with silence.
    view.SetMicFrame(QVector<int16_t>(10, 32767));
    EXPECT_EQ(view.MicPoints()[0].y(), 43);
    EXPECT_EQ(view.MicPoints()[199].y(), 22);

    view.Clear();
    for (const QPoint& p : view.MicPoints()) {
        ASSERT_EQ(p, QPoint());
    }
    for (const QPoint& p : view.NetPoints()) {
        ASSERT_EQ(p, QPoint());
    }
    image = view.grab().toImage();
    EXPECT_EQ(image.pixelColor(client.left() + 50, client.top() + 22), QColor(Qt::black));
}

TEST(StatisticsDialog, CountersAddUpOverCallsAndShowLiveWhileOpen) {
    StatisticsDialog dialog;
    EXPECT_EQ(dialog.windowTitle(), "Statistics");
    QStringList labels;
    for (QLabel* label : dialog.findChildren<QLabel*>()) {
        labels << label->text();
    }
    EXPECT_TRUE(labels.contains("Bytes Receieved"));
    EXPECT_TRUE(labels.contains("Bytes Sent"));
    EXPECT_TRUE(dialog.BytesSentEdit()->isReadOnly());

    // First call, dialog closed: the counters move, the fields wait.
    dialog.AddBytesSent(330);
    dialog.AddBytesReceived(343);
    EXPECT_EQ(dialog.BytesSentEdit()->text(), "0");

    // Opened during the call: the totals so far, then every frame as it comes.
    dialog.show();
    EXPECT_EQ(dialog.BytesSentEdit()->text(), "330");
    EXPECT_EQ(dialog.BytesReceivedEdit()->text(), "343");
    dialog.AddBytesSent(330);
    EXPECT_EQ(dialog.BytesSentEdit()->text(), "660");
    dialog.AddBytesReceived(343);
    EXPECT_EQ(dialog.BytesReceivedEdit()->text(), "686");
    dialog.reject();
    EXPECT_EQ(dialog.bytesSent, 660);

    // Second call: the counters continue, and the modal dialog follows them live.
    dialog.AddBytesSent(330);
    QString shownWhileModal;
    QTimer::singleShot(0, &dialog, [&] {
        dialog.AddBytesSent(330);
        dialog.AddBytesReceived(343);
        shownWhileModal = dialog.BytesSentEdit()->text() + "/" + dialog.BytesReceivedEdit()->text();
        dialog.accept();
    });
    EXPECT_EQ(dialog.DoModal(), QDialog::Accepted);
    EXPECT_EQ(shownWhileModal, "1320/1029");
    EXPECT_EQ(dialog.bytesSent, 1320);
    EXPECT_EQ(dialog.bytesReceived, 1029);

    // Totals past 2^31 bytes stay positive.
    dialog.AddBytesReceived(int64_t(1) << 31);
    EXPECT_GT(dialog.bytesReceived, 0);
    dialog.UpdateData(false);
    EXPECT_EQ(dialog.BytesReceivedEdit()->text(), QString::number((int64_t(1) << 31) + 1029));
}

}  // namespace
