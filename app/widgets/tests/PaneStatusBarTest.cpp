#include "app/widgets/PaneStatusBar.h"

#include <QEventLoop>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <memory>

#include "app/widgets/GradientProgress.h"
#include "app/widgets/MainStatusBar.h"

namespace {

const unsigned kMainIndicators[] = {ID_SEPARATOR, MainStatusBar::kIndicatorA,
                                    MainStatusBar::kIndicatorB};

// A main window stand-in with the three-pane bar the program uses.
struct MainWindowBar {
    QWidget window;
    MainStatusBar* bar = new MainStatusBar;

    MainWindowBar() {
        window.resize(420, 120);
        EXPECT_TRUE(bar->Create(&window, kMainIndicators, 3, SBPS_STRETCH));
        bar->SetPaneInfo(1, MainStatusBar::kIndicatorA, SBPS_NORMAL, 120);
        bar->SetPaneInfo(2, MainStatusBar::kIndicatorB, SBPS_NORMAL, 120);
    }
};

// The leftmost column inside `pane` holding a dark (text) pixel, or -1.
int LeftmostInk(const QImage& image, const QRect& pane) {
    for (int x = pane.left(); x <= pane.right(); ++x) {
        for (int y = pane.top(); y <= pane.bottom(); ++y) {
            if (image.pixelColor(x, y).lightness() < 128) {
                return x;
            }
        }
    }
    return -1;
}

TEST(StatusBarCreate, FailureIsReportedAndSuccessSetsUpThePanes) {
    QStringList reported;
    PaneStatusBar::SetMessageHook([&](QWidget*, const QString& text) { reported << text; });
    PaneStatusBar orphan;
    EXPECT_FALSE(orphan.Create(nullptr, kMainIndicators, 3, SBPS_STRETCH));
    QWidget window;
    EXPECT_FALSE(orphan.Create(&window, nullptr, 3, SBPS_STRETCH));
    EXPECT_EQ(reported,
              QStringList({"Unable to create Statusbar.", "Unable to create Statusbar."}));
    PaneStatusBar::SetMessageHook({});

    MainWindowBar main;
    MainStatusBar& bar = *main.bar;
    EXPECT_EQ(bar.parentWidget(), &main.window);
    EXPECT_EQ(bar.owner(), &main.window);
    ASSERT_EQ(bar.GetCount(), 3);
    unsigned id = 1;
    uint32_t style = 0;
    int width = 0;
    bar.GetPaneInfo(0, id, style, width);
    EXPECT_EQ(id, ID_SEPARATOR);
    EXPECT_EQ(style, SBPS_STRETCH);
    EXPECT_EQ(bar.GetPaneText(1), "a");
    EXPECT_EQ(bar.GetPaneText(2), "b");
    EXPECT_EQ(bar.CommandToIndex(MainStatusBar::kIndicatorB), 2);
    EXPECT_EQ(bar.GetPaneStyle(0)->flags, PSF_TEXT);
    EXPECT_EQ(bar.GetPaneStyle(3), nullptr);
    // Without a layout on the owner, the bar sits along its bottom edge and pane 0 stretches.
    EXPECT_EQ(bar.geometry().bottom(), main.window.height() - 1);
    EXPECT_EQ(bar.width(), main.window.width());
    EXPECT_EQ(bar.GetItemRect(2).right(), bar.width() - 3);  // a two-pixel margin
    EXPECT_GT(bar.GetItemRect(0).width(), 100);
    main.window.show();  // a hidden window gets its resize events only when shown
    main.window.resize(600, 120);
    EXPECT_EQ(bar.width(), 600);
    EXPECT_EQ(bar.geometry().bottom(), 119);
}

TEST(StatusBarScroll, TextMovesAPixelPerPaintAndReentersFromTheRight) {
    MainWindowBar main;
    MainStatusBar& bar = *main.bar;
    PaneStyle& pane = *bar.GetPaneStyle(1);
    pane.text = QStringLiteral("Hi");
    pane.textColour = Qt::black;
    pane.backColour = Qt::white;
    pane.font.setPixelSize(12);
    pane.SetFlags(PSF_TEXT | PSF_HSCROLL | DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    const QRect inner = bar.GetItemRect(1).adjusted(1, 1, -1, -1);
    const int textWidth = QFontMetrics(pane.font).horizontalAdvance(pane.text);

    // Centring is dropped while scrolling: the text starts at the pane's left edge.
    QImage image = bar.grab().toImage();
    const int start = LeftmostInk(image, inner);
    ASSERT_GE(start, inner.left());
    EXPECT_LT(start, inner.left() + 4);
    EXPECT_EQ(pane.scrollX, 1);
    image = bar.grab().toImage();
    EXPECT_EQ(LeftmostInk(image, inner), start - 1);
    EXPECT_EQ(pane.scrollX, 2);

    // Once the text has left on the left, the offset jumps to minus the pane's width.
    while (pane.scrollX > 0) {
        bar.grab();
    }
    EXPECT_EQ(pane.scrollX, -inner.width());
    image = bar.grab().toImage();
    EXPECT_EQ(LeftmostInk(image, inner), -1);  // just outside on the right
    for (int i = 0; i < textWidth; ++i) {
        bar.grab();
    }
    image = bar.grab().toImage();
    const int reentered = LeftmostInk(image, inner);
    EXPECT_GT(reentered, inner.right() - textWidth - 4);
    EXPECT_LE(reentered, inner.right());
}

TEST(StatusBarScroll, TimerRunsOnlyWhileAPaneScrolls) {
    MainWindowBar main;
    MainStatusBar& bar = *main.bar;
    bar.grab();
    EXPECT_FALSE(bar.IsScrollTimerRunning());
    bar.GetPaneStyle(0)->SetFlags(PSF_TEXT | PSF_REPEAT);  // repeating alone does not move
    bar.grab();
    EXPECT_FALSE(bar.IsScrollTimerRunning());
    bar.GetPaneStyle(2)->SetFlags(PSF_TEXT | PSF_VSCROLL);
    bar.grab();
    EXPECT_TRUE(bar.IsScrollTimerRunning());
    bar.GetPaneStyle(2)->SetFlags(PSF_TEXT);
    bar.grab();
    EXPECT_FALSE(bar.IsScrollTimerRunning());
    bar.GetPaneStyle(1)->SetFlags(PSF_BITMAP | PSF_HSCROLL);
    bar.grab();
    EXPECT_TRUE(bar.IsScrollTimerRunning());
    const unsigned none[] = {0};
    bar.SetIndicators(none, 0);
    bar.grab();
    EXPECT_FALSE(bar.IsScrollTimerRunning());
}

TEST(StatusBarBitmap, BitmapsArePlacedStretchedOrTiled) {
    // A 4 x 4 image, red in its top-left pixel and blue elsewhere.
    QTemporaryDir dir;
    ASSERT_TRUE(dir.isValid());
    QImage picture(4, 4, QImage::Format_RGB32);
    picture.fill(Qt::blue);
    picture.setPixelColor(0, 0, Qt::red);
    const QString file = dir.filePath(QStringLiteral("tile.png"));
    ASSERT_TRUE(picture.save(file));

    MainWindowBar main;
    MainStatusBar& bar = *main.bar;
    PaneStyle& pane = *bar.GetPaneStyle(1);
    pane.text = file;
    pane.backColour = Qt::white;
    const QRect inner = bar.GetItemRect(1).adjusted(1, 1, -1, -1);

    pane.SetFlags(PSF_BITMAP);  // once, at the top left
    QImage image = bar.grab().toImage();
    EXPECT_EQ(image.pixelColor(inner.topLeft()), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(inner.topLeft() + QPoint(3, 3)), QColor(Qt::blue));
    EXPECT_EQ(image.pixelColor(inner.topLeft() + QPoint(4, 4)), QColor(Qt::white));

    pane.SetFlags(PSF_BITMAP | 2 | 8);  // right and bottom
    image = bar.grab().toImage();
    EXPECT_EQ(image.pixelColor(inner.bottomRight() - QPoint(3, 3)), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(inner.topLeft()), QColor(Qt::white));

    pane.SetFlags(PSF_BITMAP | PSF_REPEAT);  // tiled over the whole pane
    image = bar.grab().toImage();
    EXPECT_EQ(image.pixelColor(inner.topLeft() + QPoint(4, 4)), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(inner.topLeft() + QPoint(8, 0)), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(inner.bottomRight()), QColor(Qt::blue));

    pane.SetFlags(PSF_BITMAP | PSF_STRETCH);  // one red quarter over the pane
    image = bar.grab().toImage();
    EXPECT_EQ(image.pixelColor(inner.topLeft() + QPoint(inner.width() / 8, 1)), QColor(Qt::red));
    EXPECT_EQ(image.pixelColor(inner.bottomRight()), QColor(Qt::blue));

    // A missing image leaves the pane in its background colour.
    pane.text = dir.filePath(QStringLiteral("missing.png"));
    pane.SetFlags(PSF_BITMAP);
    image = bar.grab().toImage();
    EXPECT_EQ(image.pixelColor(inner.topLeft()), QColor(Qt::white));
}

TEST(StatusBarState, SaveTurnIntoIndicatorAndRestoreGivesBackThePane) {
    MainWindowBar main;
    MainStatusBar& bar = *main.bar;
    PaneStyle& pane = *bar.GetPaneStyle(2);
    pane.text = QStringLiteral("Ready to receive calls");
    pane.disabledText = QStringLiteral("off");
    pane.backColour = QColor(10, 20, 30);
    pane.textColour = QColor(200, 100, 0);
    pane.SetFlags(PSF_TEXT | DT_VCENTER | DT_SINGLELINE);

    // The call indicator: save, turn into a control pane, set up the snake.
    bar.SaveState(2);
    pane.SetFlags(PSF_CONTROL);
    QPointer<GradientProgress> indicator = pane.control();
    ASSERT_TRUE(indicator);
    EXPECT_EQ(indicator->parentWidget(), &bar);
    EXPECT_EQ(indicator->geometry(), bar.GetItemRect(2).adjusted(-1, -1, 1, 1));
    indicator->Painter().SetRange(0, 100);
    indicator->ModifyStyle(0, PBS_SNAKE | PBS_GRADIENT_ON_BAR | PBS_SHOW_TEXT_ONLY);
    indicator->SetTimer(GradientProgress::kStepTimer, 30);
    indicator->SetWindowText(QStringLiteral("Active 00:00:00"));
    pane.backColour = Qt::red;
    pane.text.clear();
    bar.SaveState(1);  // other panes keep their own copies

    bar.RestoreState(2);
    EXPECT_FALSE(indicator);  // destroyed, timer and all
    EXPECT_EQ(pane.control(), nullptr);
    EXPECT_TRUE(bar.findChildren<GradientProgress*>().isEmpty());
    EXPECT_EQ(pane.text, "Ready to receive calls");
    EXPECT_EQ(pane.disabledText, "off");
    EXPECT_EQ(pane.backColour, QColor(10, 20, 30));
    EXPECT_EQ(pane.textColour, QColor(200, 100, 0));
    EXPECT_EQ(pane.flags, PSF_TEXT | DT_VCENTER | DT_SINGLELINE);
    EXPECT_FALSE(bar.HasSavedState(2));
    EXPECT_TRUE(bar.HasSavedState(1));

    // Restoring again, or a pane never saved, changes nothing.
    pane.text = QStringLiteral("Error in Server");
    bar.RestoreState(2);
    bar.RestoreState(7);
    bar.SaveState(-1);
    EXPECT_EQ(pane.text, "Error in Server");

    // A later save replaces the earlier one.
    bar.SaveState(2);
    pane.text = QStringLiteral("changed");
    bar.SaveState(2);
    pane.text = QStringLiteral("changed again");
    bar.RestoreState(2);
    EXPECT_EQ(pane.text, "changed");
}

TEST(StatusBarState, CopiesNeverShareTheHostedControl) {
    MainWindowBar main;
    MainStatusBar& bar = *main.bar;
    PaneStyle& pane = *bar.GetPaneStyle(0);
    pane.SetFlags(PSF_CONTROL | PSF_SMOOTH);
    ASSERT_TRUE(pane.control());
    EXPECT_TRUE(pane.control()->GetStyle() & PBS_SMOOTH);
    QPointer<GradientProgress> hosted = pane.control();

    PaneStyle copy(pane);
    EXPECT_EQ(copy.control(), nullptr);
    EXPECT_EQ(copy.flags, PSF_CONTROL | PSF_SMOOTH);
    EXPECT_TRUE(hosted);
    pane = copy;  // assigning destroys the destination's control
    EXPECT_FALSE(hosted);

    // Setting the control bit again makes a new control; clearing it destroys it.
    pane.SetFlags(PSF_CONTROL);
    hosted = pane.control();
    ASSERT_TRUE(hosted);
    pane.SetFlags(PSF_CONTROL);
    EXPECT_EQ(pane.control(), hosted.data());
    pane.SetFlags(PSF_TEXT);
    EXPECT_FALSE(hosted);

    // Resetting the indicators destroys hosted controls too.
    pane.SetFlags(PSF_CONTROL);
    hosted = pane.control();
    bar.SetIndicators(kMainIndicators, 3);
    EXPECT_FALSE(hosted);
}

TEST(StatusBarState, ControlsStayOnTheirOwnBar) {
    MainWindowBar first;
    MainWindowBar second;  // the most recently made bar
    EXPECT_EQ(PaneStatusBar::Current(), second.bar);
    first.bar->GetPaneStyle(2)->SetFlags(PSF_CONTROL);
    EXPECT_EQ(first.bar->GetPaneStyle(2)->control()->parentWidget(), first.bar);

    // A free-standing style hosts its control on the most recent bar.
    PaneStyle loose;
    loose.SetFlags(PSF_CONTROL);
    ASSERT_TRUE(loose.control());
    EXPECT_EQ(loose.control()->parentWidget(), second.bar);
}

TEST(StatusBarMouse, MessagesReachTheOwnerInBarCoordinates) {
    MainWindowBar main;
    MainStatusBar& bar = *main.bar;
    main.window.show();
    QSignalSpy spy(&bar, &PaneStatusBar::mouseMessage);
    const QPoint at(30, 6);
    QTest::mouseClick(&bar, Qt::LeftButton, Qt::NoModifier, at);
    QTest::mouseDClick(&bar, Qt::RightButton, Qt::NoModifier, at + QPoint(200, 0));
    QTest::mouseMove(&bar, QPoint(40, 5));

    QList<QEvent::Type> types;
    for (const QList<QVariant>& message : spy) {
        types << message[0].value<QEvent::Type>();
    }
    ASSERT_GE(spy.size(), 3);
    EXPECT_EQ(types[0], QEvent::MouseButtonPress);
    EXPECT_EQ(spy[0][1].toPoint(), at);
    EXPECT_EQ(spy[0][2].value<Qt::MouseButton>(), Qt::LeftButton);
    EXPECT_EQ(types[1], QEvent::MouseButtonRelease);
    EXPECT_EQ(spy[1][1].toPoint(), at);
    EXPECT_TRUE(types.contains(QEvent::MouseButtonDblClick));
    const int dbl = int(types.indexOf(QEvent::MouseButtonDblClick));
    EXPECT_EQ(spy[dbl][1].toPoint(), at + QPoint(200, 0));
    EXPECT_EQ(spy[dbl][2].value<Qt::MouseButton>(), Qt::RightButton);
    EXPECT_TRUE(types.contains(QEvent::MouseMove));
    EXPECT_EQ(spy.last()[1].toPoint(), QPoint(40, 5));
}

TEST(StatusBarMain, IdleUpdatesApplyTheParentsPaneState) {
    MainWindowBar main;
    MainStatusBar& bar = *main.bar;
    int asked = 0;
    bar.SetUpdateHandler([&](PaneCmdUI& state) {
        ++asked;
        if (state.id == MainStatusBar::kIndicatorA) {
            state.enable = false;
        }
        if (state.index == 2) {
            state.text = QStringLiteral("idle text");
        }
    });
    // Hidden: nothing is asked.
    bar.OnIdleUpdateCmdUI();
    EXPECT_EQ(asked, 0);

    main.window.show();
    QEventLoop loop;
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();  // the loop falls idle while it waits
    EXPECT_GT(asked, 0);
    unsigned id = 0;
    uint32_t style = 0;
    int width = 0;
    bar.GetPaneInfo(1, id, style, width);
    EXPECT_TRUE(style & SBPS_DISABLED);
    EXPECT_EQ(width, 120);
    EXPECT_EQ(bar.GetPaneText(2), "idle text");
    bar.GetPaneInfo(0, id, style, width);
    EXPECT_FALSE(style & SBPS_DISABLED);

    // A disabled text pane shows its disabled look.
    PaneStyle& pane = *bar.GetPaneStyle(1);
    pane.text = QStringLiteral("on");
    pane.disabledText = QStringLiteral("OFF");
    pane.disabledBackColour = QColor(0, 0, 255);
    const QImage image = bar.grab().toImage();
    EXPECT_EQ(image.pixelColor(bar.GetItemRect(1).center()), QColor(0, 0, 255));

    bar.SetUpdateHandler({});
    asked = 0;
    QTimer::singleShot(20, &loop, &QEventLoop::quit);
    loop.exec();
    EXPECT_EQ(asked, 0);
}

}  // namespace
