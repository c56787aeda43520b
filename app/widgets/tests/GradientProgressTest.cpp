#include "app/widgets/GradientProgress.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QImage>
#include <QSet>

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>

namespace {

// The call indicator's colours: red 0, green 154, blue 255 and red 206, green 255, blue 0.
const QColor kBlue(0, 154, 255);
const QColor kGreen(206, 255, 0);

QImage Render(QWidget& widget) {
    return widget.grab().toImage();
}

// A control with plain colours and no text, so that pixels tell where the bar is.
std::unique_ptr<GradientProgress> PlainBar(int width, int height, uint32_t style) {
    auto bar = std::make_unique<GradientProgress>(nullptr, style);
    bar->resize(width, height);
    bar->SetBkColor(Qt::white);
    bar->SetBarColor(Qt::red);
    return bar;
}

TEST(GradientRange, SetRangeOrdersItsEndsAndReturnsThePreviousRange) {
    GradientProgress bar;
    EXPECT_EQ(bar.SetRange32(100, 0), (100u << 16) | 0u);
    PBRANGE range;
    EXPECT_EQ(bar.GetRange(true, &range), 0);
    EXPECT_EQ(range.iLow, 0);
    EXPECT_EQ(range.iHigh, 100);
    EXPECT_EQ(bar.GetRange(false), 100);

    EXPECT_EQ(bar.SetRange32(-50, 250), (100u << 16) | 0u);
    EXPECT_EQ(bar.GetRange(true), -50);
    // The previous range comes back cut to 16-bit words.
    EXPECT_EQ(bar.SetRange(10, 20), (250u << 16) | uint16_t(-50));
    EXPECT_EQ(bar.GetRange(true), 10);
    EXPECT_EQ(bar.GetRange(false), 20);
}

TEST(GradientRange, PositionsAreClampedAndMovesReturnThePreviousPosition) {
    GradientProgress bar;
    bar.SetRange32(0, 100);
    EXPECT_EQ(bar.SetPos(150), 0);
    EXPECT_EQ(bar.GetPos(), 100);
    EXPECT_EQ(bar.SetPos(-5), 100);
    EXPECT_EQ(bar.GetPos(), 0);

    EXPECT_EQ(bar.SetStep(7), 10);
    EXPECT_EQ(bar.StepIt(), 0);
    EXPECT_EQ(bar.StepIt(), 7);
    EXPECT_EQ(bar.DeltaPos(-3), 14);
    EXPECT_EQ(bar.GetPos(), 11);
    EXPECT_EQ(bar.DeltaPos(1000), 11);
    EXPECT_EQ(bar.GetPos(), 100);

    // Narrowing the range pulls the position in.
    bar.SetRange32(0, 40);
    EXPECT_EQ(bar.GetPos(), 40);
    // Extreme ranges neither overflow nor wrap.
    bar.SetRange32(INT_MIN, INT_MAX);
    bar.SetPos(INT_MAX);
    bar.DeltaPos(INT_MAX);
    EXPECT_EQ(bar.GetPos(), INT_MAX);
    const auto extent = BarExtent(200, 0, 0, 0, INT_MIN, INT_MAX);
    ASSERT_TRUE(extent);
    EXPECT_EQ(extent->second, 100);  // the middle of the track
}

TEST(GradientSnake, RunsToTheEndSlidesOutTurnsAndComesBack) {
    GradientPainter painter;
    painter.SetRange(0, 100);
    painter.SetStyle(PBS_SNAKE);
    painter.SetStep(1);
    painter.snakeLength = 50;
    painter.SetPos(0);

    // The head runs from 0 to 100, the tail follows 50 behind.
    for (int expected = 1; expected <= 100; ++expected) {
        painter.StepIt();
        ASSERT_EQ(painter.position, expected);
        ASSERT_EQ(painter.snakeTail, std::max(0, expected - 50));
    }
    EXPECT_FALSE(painter.GetStyle() & PBS_REVERSED);

    // The block slides out: the head stays at 100 while the tail catches up.
    for (int tail = 51; tail <= 100; ++tail) {
        painter.StepIt();
        ASSERT_EQ(painter.position, 100);
        ASSERT_EQ(painter.snakeTail, tail);
        ASSERT_FALSE(painter.GetStyle() & PBS_REVERSED);
    }

    // The next step would take the virtual head past 150: the block turns and re-enters.
    painter.StepIt();
    EXPECT_TRUE(painter.GetStyle() & PBS_REVERSED);
    EXPECT_EQ(painter.position, 1);
    EXPECT_EQ(painter.snakeTail, 0);

    // A whole second lap (99 in, 50 out, then the turn) flips the direction back.
    for (int i = 0; i < 149; ++i) {
        painter.StepIt();
        ASSERT_TRUE(painter.GetStyle() & PBS_REVERSED);
    }
    painter.StepIt();
    EXPECT_FALSE(painter.GetStyle() & PBS_REVERSED);
    EXPECT_EQ(painter.position, 1);
}

TEST(GradientSnake, MoveRuleHandlesAbsoluteMovesAndLargeSteps) {
    // An absolute move far beyond the track turns the block and lands it inside.
    SnakeMove move = MoveSnake(10, 0, 50, 0, 100, false, 170);
    EXPECT_TRUE(move.flipped);
    EXPECT_EQ(move.position, 20);
    EXPECT_EQ(move.tail, 0);
    // Backward relative moves count by their size, like forward ones.
    move = MoveSnake(10, 0, 50, 0, 100, true, -5);
    EXPECT_FALSE(move.flipped);
    EXPECT_EQ(move.position, 15);
    // A huge step never overflows: it ends at the far side of the track.
    move = MoveSnake(100, 60, 50, 0, 100, true, INT_MAX);
    EXPECT_TRUE(move.flipped);
    EXPECT_EQ(move.position, 100);
    EXPECT_EQ(move.tail, 100);
}

TEST(GradientSnake, TimerElevenStepsTheControlUntilKilled) {
    GradientProgress bar(nullptr, PBS_SNAKE);
    bar.SetRange32(0, 100);
    bar.SetStep(1);
    bar.Painter().snakeLength = 50;
    bar.SetPos(0);
    bar.OnTimer(GradientProgress::kStepTimer);
    EXPECT_EQ(bar.GetPos(), 1);
    bar.OnTimer(12);  // other timers do not step it
    EXPECT_EQ(bar.GetPos(), 1);

    EXPECT_FALSE(bar.IsTimerRunning(GradientProgress::kStepTimer));
    bar.SetTimer(GradientProgress::kStepTimer, 1);
    EXPECT_TRUE(bar.IsTimerRunning(GradientProgress::kStepTimer));
    QElapsedTimer clock;
    clock.start();
    while (bar.GetPos() < 3 && clock.elapsed() < 5000) {
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    }
    EXPECT_GE(bar.GetPos(), 3);
    bar.KillTimer(GradientProgress::kStepTimer);
    EXPECT_FALSE(bar.IsTimerRunning(GradientProgress::kStepTimer));
    const int stopped = bar.GetPos();
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(bar.GetPos(), stopped);
}

TEST(GradientText, ModesAndCustomFormats) {
    EXPECT_EQ(ProgressText(PBS_SHOW_PERCENT, {}, 33, 0, 200), "16%");
    EXPECT_EQ(ProgressText(PBS_SHOW_POSITION, {}, 33, 0, 200), "33");
    EXPECT_EQ(ProgressText(PBS_SHOW_PERCENT, {}, -10, -20, 20), "25%");
    EXPECT_EQ(ProgressText(0, QStringLiteral("hidden"), 33, 0, 200), "");
    // Both mode bits: only a custom text, with the value 0.
    EXPECT_EQ(ProgressText(PBS_SHOW_TEXT_ONLY, {}, 33, 0, 200), "");
    EXPECT_EQ(ProgressText(PBS_SHOW_TEXT_ONLY, QStringLiteral("Active 00:00:15 Delay=120 ms"), 33,
                           0, 200),
              "Active 00:00:15 Delay=120 ms");
    EXPECT_EQ(ProgressText(PBS_SHOW_TEXT_ONLY, QStringLiteral("v=%d"), 33, 0, 200), "v=0");
    EXPECT_EQ(ProgressText(PBS_SHOW_PERCENT, QStringLiteral("%d of 100"), 33, 0, 200), "16 of 100");
    // A zero-width range shows no text.
    EXPECT_EQ(ProgressText(PBS_SHOW_POSITION, {}, 5, 5, 5), "");
}

TEST(GradientText, FormatTakesOnlyIntegerConversions) {
    EXPECT_EQ(FormatProgressText(QStringLiteral("%d%%"), 7), "7%");
    EXPECT_EQ(FormatProgressText(QStringLiteral("[%05d|%-4d|%+d]"), 42), "[00042|42  |+42]");
    EXPECT_EQ(FormatProgressText(QStringLiteral("%d/%i"), -3), "-3/-3");
    // Conversions that would read or write memory are shown as written.
    EXPECT_EQ(FormatProgressText(QStringLiteral("%s %n %x %"), 1), "%s %n %x %");
    EXPECT_EQ(FormatProgressText(QStringLiteral("100% sure"), 1), "100% sure");
    EXPECT_EQ(FormatProgressText(QStringLiteral("%99999999d"), 1).size(), 256);
}

TEST(GradientText, WindowTextIsCopiedWithinTheBuffer) {
    GradientProgress bar;
    EXPECT_TRUE(bar.SetWindowText(QStringLiteral("Logging in")));
    EXPECT_EQ(bar.GetWindowTextLength(), 10);
    char buffer[6];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(bar.GetWindowText(buffer, sizeof buffer), 5);
    EXPECT_STREQ(buffer, "Loggi");
    char big[32];
    EXPECT_EQ(bar.GetWindowText(big, sizeof big), 10);
    EXPECT_STREQ(big, "Logging in");
    EXPECT_EQ(bar.GetWindowText(big, 0), 0);
    // A character is never cut in half.
    bar.SetWindowText(QString::fromUtf8("a\xC3\xA9"));
    char three[3];
    EXPECT_EQ(bar.GetWindowText(three, sizeof three), 1);
    EXPECT_STREQ(three, "a");
}

TEST(GradientBands, LargestChannelDifferenceGivesOneBandPerStep) {
    // Differences 206, 101 and 255 over 100 pixels: 100 bands of one pixel.
    const auto bands = GradientBands(100, {kBlue, kGreen}, {100.0});
    ASSERT_EQ(bands.size(), 100u);
    for (int k = 0; k < 100; ++k) {
        ASSERT_EQ(bands[size_t(k)].begin, k);
        ASSERT_EQ(bands[size_t(k)].end, k + 1);
    }
    EXPECT_EQ(bands.front().colour, kBlue);
    // Band 50: 0 + trunc(2.06 * 50), 154 + trunc(1.01 * 50), 255 + trunc(-2.55 * 50).
    EXPECT_EQ(bands[50].colour, QColor(103, 204, 128));
    EXPECT_EQ(bands.back().colour, QColor(203, 253, 3));
}

TEST(GradientBands, BandCountIsLimitedByLengthColoursAndStops) {
    // More pixels than colour steps: 255 bands spread over 510 pixels, two pixels each.
    auto bands = GradientBands(510, {Qt::black, QColor(0, 0, 255)}, {100.0});
    ASSERT_EQ(bands.size(), 255u);
    EXPECT_EQ(bands[1].begin, 2);
    EXPECT_EQ(bands.back().end, 510);
    // A palette's colour limit is shared among the gaps.
    bands = GradientBands(1000, {Qt::black, QColor(255, 0, 0), Qt::black}, {50.0, 50.0}, 236);
    EXPECT_EQ(bands.size(), 236u);
    // Equal stops: one band over the whole gap.
    bands = GradientBands(80, {kBlue, kBlue}, {100.0});
    ASSERT_EQ(bands.size(), 1u);
    EXPECT_EQ(bands[0].end, 80);
    // Four stops in equal shares: the gaps end at 33, 66 and exactly at the end.
    GradientPainter painter;
    painter.SetColourStops({Qt::black, Qt::white, Qt::black, Qt::white});
    ASSERT_EQ(painter.stopShares.size(), 3u);
    bands = GradientBands(100, painter.colourStops, painter.stopShares);
    ASSERT_EQ(bands.size(), 100u);  // 33 + 33 + 34 one-pixel bands
    EXPECT_EQ(bands[32].colour, QColor(247, 247, 247));
    EXPECT_EQ(bands[33].begin, 33);
    EXPECT_EQ(bands[33].colour, QColor(Qt::white));
    EXPECT_EQ(bands[66].colour, QColor(Qt::black));
    EXPECT_EQ(bands.back().end, 100);
    // A single colour still makes a plain bar.
    painter.SetColourStops({kGreen});
    EXPECT_EQ(painter.colourStops.size(), 2u);
    EXPECT_EQ(GradientBands(10, {}, {}).size(), 0u);
}

TEST(GradientPaint, BarGrowsFromItsSideAndZeroRangesShowOnlyTheTrack) {
    auto bar = PlainBar(100, 10, 0);
    bar->SetRange32(0, 100);
    bar->SetPos(25);
    QImage image = Render(*bar);
    EXPECT_EQ(image.pixelColor(0, 5), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(24, 5), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(25, 5), QColor(Qt::white));

    bar->ModifyStyle(0, PBS_REVERSED);
    image = Render(*bar);
    EXPECT_EQ(image.pixelColor(0, 5), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(75, 5), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(74, 5), QColor(Qt::white));

    auto vertical = PlainBar(10, 100, PBS_VERTICAL);
    vertical->SetPos(25);
    image = Render(*vertical);
    EXPECT_EQ(image.pixelColor(5, 99), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(5, 75), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(5, 74), QColor(Qt::white));

    // The snake covers tail..head only.
    auto snake = PlainBar(100, 10, PBS_SNAKE);
    snake->Painter().snakeLength = 20;
    snake->SetPos(60);
    image = Render(*snake);
    EXPECT_EQ(image.pixelColor(39, 5), QColor(Qt::white));
    EXPECT_EQ(image.pixelColor(40, 5), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(59, 5), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(60, 5), QColor(Qt::white));

    auto empty = PlainBar(100, 10, PBS_SHOW_POSITION);
    empty->SetRange32(5, 5);
    image = Render(*empty);
    for (int x = 0; x < 100; ++x) {
        ASSERT_EQ(image.pixelColor(x, 5), QColor(Qt::white)) << x;
    }
}

TEST(GradientPaint, GradientSpansTheTrackOrTheBar) {
    GradientProgress bar;
    bar.resize(100, 8);
    bar.Painter().SetColourStops({kBlue, kGreen});
    bar.SetPos(100);
    QImage image = Render(bar);
    QSet<QRgb> colours;
    for (int x = 0; x < 100; ++x) {
        colours.insert(image.pixel(x, 4));
    }
    EXPECT_EQ(colours.size(), 100);
    EXPECT_EQ(image.pixelColor(0, 4), kBlue);

    // Over the whole track the half-full bar ends mid-way through the colours; over the bar
    // alone it reaches the last stop's neighbourhood at its end.
    bar.SetPos(50);
    image = Render(bar);
    const QColor midTrack = image.pixelColor(49, 4);
    bar.ModifyStyle(0, PBS_GRADIENT_ON_BAR);
    image = Render(bar);
    EXPECT_EQ(image.pixelColor(0, 4), kBlue);
    EXPECT_GT(image.pixelColor(49, 4).red(), midTrack.red() + 50);

    // Reversed, the first stop sits at the right, where the bar grows from.
    bar.ModifyStyle(PBS_GRADIENT_ON_BAR, PBS_REVERSED);
    bar.SetPos(100);
    image = Render(bar);
    EXPECT_EQ(image.pixelColor(99, 4), kBlue);
}

TEST(GradientPaint, TextTakesTheBarColourOverTheBar) {
    GradientProgress bar(nullptr, PBS_SHOW_TEXT_ONLY);
    bar.resize(200, 30);
    bar.SetBkColor(Qt::white);
    bar.SetBarColor(Qt::white);
    bar.Painter().trackTextColour = Qt::blue;
    bar.Painter().barTextColour = Qt::red;
    QFont font;
    font.setPixelSize(24);
    bar.SetFont(font, false);
    bar.SetWindowText(QStringLiteral("IIIIIIIIIIIIIIIIIIII"));
    bar.SetPos(50);
    const QImage image = Render(bar);
    bool redLeft = false, blueLeft = false, redRight = false, blueRight = false;
    for (int y = 0; y < 30; ++y) {
        for (int x = 0; x < 200; ++x) {
            const QColor c = image.pixelColor(x, y);
            const bool red = c.red() > 150 && c.blue() < 100;
            const bool blue = c.blue() > 150 && c.red() < 100;
            (x < 100 ? redLeft : redRight) |= red;
            (x < 100 ? blueLeft : blueRight) |= blue;
        }
    }
    EXPECT_TRUE(redLeft);
    EXPECT_FALSE(blueLeft);
    EXPECT_TRUE(blueRight);
    EXPECT_FALSE(redRight);
}

}  // namespace
