#include <gtest/gtest.h>

#include <QImage>
#include <QMouseEvent>
#include <QSignalSpy>
#include <QTest>

#include <utility>

#include "app/widgets/LinkLabel.h"

namespace {

// A link that records its clicks instead of asking the desktop to open them.
class RecordingLink : public LinkLabel {
  public:
    using LinkLabel::LinkLabel;
    QStringList opened;
    int rightClicks = 0;

  protected:
    void OnLinkClicked() override { opened << Target(Url(), Caption()); }
    void OnLinkRightClicked() override { ++rightClicks; }
};

TEST(LinkLabelTarget, MailAddressesGetTheMailtoPrefixOnlyWithoutUrl) {
    EXPECT_EQ(LinkLabel::Target("", "bob@example.org"), "mailto:bob@example.org");
    EXPECT_EQ(LinkLabel::Target("", "mailto:bob@example.org"), "mailto:bob@example.org");
    EXPECT_EQ(LinkLabel::Target("", "MAILTO:bob@example.org"), "mailto:MAILTO:bob@example.org");
    EXPECT_EQ(LinkLabel::Target("", "Register new user"), "Register new user");
    EXPECT_EQ(LinkLabel::Target("http://h/x", "bob@example.org"), "http://h/x");
}

TEST(LinkLabelTarget, RegisterPageGetsTheHttpSchemeUnlessTheHostNamesItsOwn) {
    EXPECT_EQ(LinkLabel::RegisterUrl("127.0.0.1:8080").toString(),
              "http://127.0.0.1:8080/register.asp");
    EXPECT_EQ(LinkLabel::RegisterUrl("https://dir.example:8443").toString(),
              "https://dir.example:8443/register.asp");
    EXPECT_EQ(LinkLabel::RegisterUrl("dir.example", "/zorvo").toString(),
              "http://dir.example/zorvo/register.asp");
}

TEST(LinkLabelTarget, InvitePageKeepsItsQueryAndFragmentEscapedOnce) {
    const QUrl url = LinkLabel::InviteUrl("dir.example");
    EXPECT_EQ(url.toEncoded(),
              "http://dir.example/myaccount.asp?LoginMsg=Please%20Login%20to%20Invite%20your%20"
              "friends&redirurl=myaccount.asp%3F%23INVITE#INVITE");
    EXPECT_EQ(url.fragment(), "INVITE");
    EXPECT_EQ(url.path(), "/myaccount.asp");
    EXPECT_FALSE(url.toEncoded().contains("%25"));
}

TEST(LinkLabelWidget, HoverChangesColourAndCursorAndAClickOpensOnce) {
    RecordingLink link(QStringLiteral("Register new user"));
    LinkLabel::StyleAsMainWindowLink(&link);
    link.SetUrl(LinkLabel::RegisterUrl("h").toString());
    link.resize(200, 30);
    link.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&link));
    EXPECT_EQ(link.NormalColour(), QColor(0, 102, 0));
    EXPECT_EQ(link.HoverColour(), QColor(0, 0, 255));
    EXPECT_TRUE(link.LinkFont().underline());
    EXPECT_EQ(link.LinkFont().pixelSize(), 18);

    const QPoint inside = link.TextRect().center();
    QTest::mouseMove(&link, inside);
    ASSERT_TRUE(link.IsHovering());
    EXPECT_EQ(link.cursor().shape(), Qt::PointingHandCursor);
    QTest::mouseClick(&link, Qt::LeftButton, {}, inside);
    EXPECT_EQ(link.opened, QStringList({"http://h/register.asp"}));
    EXPECT_FALSE(link.IsHovering());

    // Outside the text nothing happens.
    QTest::mouseMove(&link, QPoint(199, 29));
    EXPECT_FALSE(link.IsHovering());
    QTest::mouseClick(&link, Qt::LeftButton, {}, QPoint(199, 29));
    EXPECT_EQ(link.opened.size(), 1);

    // A right click on the hovered link only ends the hover.
    QTest::mouseMove(&link, inside);
    QTest::mouseClick(&link, Qt::RightButton, {}, inside);
    EXPECT_EQ(link.rightClicks, 1);
    EXPECT_FALSE(link.IsHovering());
    EXPECT_EQ(link.opened.size(), 1);
}

// The columns of a painting of `link` that hold any pixel of its text colour: first and last.
std::pair<int, int> PaintedTextColumns(LinkLabel& link) {
    const QImage image = link.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QRgb ink = link.NormalColour().rgb();
    int first = -1;
    int last = -1;
    for (int x = 0; x < image.width(); ++x) {
        for (int y = 0; y < image.height(); ++y) {
            if (image.pixel(x, y) == ink) {
                first = first < 0 ? x : first;
                last = x;
                break;
            }
        }
    }
    return {first, last};
}

TEST(LinkLabelWidget, TheTextBlockIsPaintedInTheMiddleWhateverTheAlignment) {
    for (int align : {0, 1, 2}) {
        LinkLabel link(QStringLiteral("Register new user"));
        LinkLabel::StyleAsMainWindowLink(&link);
        link.SetLayout(2, align);
        link.resize(400, 40);
        const auto [first, last] = PaintedTextColumns(link);
        ASSERT_GE(first, 0) << "nothing painted with alignment " << align;
        const int leftMargin = first;
        const int rightMargin = link.width() - 1 - last;
        EXPECT_GT(leftMargin, 50) << "alignment " << align;
        EXPECT_NEAR(leftMargin, rightMargin, 4) << "alignment " << align;
    }
}

TEST(LinkLabelWidget, TheMainWindowsLinksStandInTheMiddleOfTheirPlaces) {
    RecordingLink link(QStringLiteral("Invite your friends"));
    LinkLabel::StyleAsMainWindowLink(&link);
    link.resize(300, 30);
    link.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&link));
    // The hover area follows the painted text: the middle is on the link, the left edge is not.
    QTest::mouseMove(&link, QPoint(150, 15));
    EXPECT_TRUE(link.IsHovering());
    QTest::mouseMove(&link, QPoint(5, 15));
    EXPECT_FALSE(link.IsHovering());
}

TEST(LinkLabelWidget, AnEmptyCaptionShowsClickHere) {
    LinkLabel link;
    EXPECT_EQ(link.Caption(), "Click here");
}

}  // namespace
