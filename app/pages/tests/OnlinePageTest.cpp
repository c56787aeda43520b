#include <gtest/gtest.h>

#include "app/pages/tests/QtPrinters.h"

#include <QSignalSpy>
#include <QTreeWidget>

#include <cstring>

#include "app/pages/BuddyListPage.h"
#include "app/pages/OnlinePage.h"

namespace {

// 10.0.0.5 in network byte order, whatever the host's byte order.
quint32 NetworkOrder(quint8 a, quint8 b, quint8 c, quint8 d) {
    const quint8 bytes[4] = {a, b, c, d};
    quint32 value = 0;
    std::memcpy(&value, bytes, 4);
    return value;
}

QStringList ChildTexts(const QTreeWidgetItem* root) {
    QStringList texts;
    for (int i = 0; i < root->childCount(); ++i) {
        texts << root->child(i)->text(0);
    }
    return texts;
}

TEST(OnlinePage, LookupFindsExactNamesOnly) {
    OnlinePage page;
    const quint32 alice = NetworkOrder(10, 0, 0, 5);
    page.SetOnline(
        {{QStringLiteral("alice"), alice}, {QStringLiteral("bob"), OnlinePage::kUnreachable}});

    OnlineBuddy found{QStringLiteral("untouched"), 7};
    ASSERT_EQ(page.LookupOnline(QStringLiteral("alice"), &found), 1);
    EXPECT_EQ(found.name, QStringLiteral("alice"));
    EXPECT_EQ(found.address, alice);

    // Found, but behind a firewall.
    ASSERT_EQ(page.LookupOnline(QStringLiteral("bob"), &found), 1);
    EXPECT_EQ(found.address, 0xFFFFFFFFu);

    // Not found: a different case, a prefix, someone else; the output stays as it was.
    found = {QStringLiteral("untouched"), 7};
    EXPECT_EQ(page.LookupOnline(QStringLiteral("Alice"), &found), 0);
    EXPECT_EQ(page.LookupOnline(QStringLiteral("ali"), &found), 0);
    EXPECT_EQ(page.LookupOnline(QStringLiteral("carol"), &found), 0);
    EXPECT_EQ(found.name, QStringLiteral("untouched"));
    EXPECT_EQ(found.address, 7u);
    EXPECT_EQ(page.LookupOnline(QStringLiteral("alice"), nullptr), 1);

    page.SetOnline({});
    EXPECT_EQ(page.LookupOnline(QStringLiteral("alice"), &found), 0);
}

TEST(OnlinePage, TreeFollowsTheListAndSkipsTheOwnName) {
    OnlinePage page;
    BuddyListPage buddies;
    buddies.SetBuddiesFromText(QStringLiteral("alice bob carol"));
    page.SetBuddyListPage(&buddies);
    page.SetOwnName(QStringLiteral("Carol"));
    EXPECT_EQ(page.windowTitle(), QStringLiteral("Online"));
    EXPECT_EQ(page.m_hRoot->text(0), QStringLiteral("Buddies Online (0/3)"));

    QSignalSpy arrived(&page, &OnlinePage::buddiesArrived);
    QSignalSpy left(&page, &OnlinePage::buddiesLeft);

    // The own name is not listed, yet it counts as online in the title.
    page.SetOnline({{QStringLiteral("carol"), NetworkOrder(1, 2, 3, 4)},
                    {QStringLiteral("alice"), NetworkOrder(10, 0, 0, 5)}});
    EXPECT_EQ(ChildTexts(page.m_hRoot), QStringList({"alice"}));
    EXPECT_EQ(page.m_hRoot->text(0), QStringLiteral("Buddies Online (2/3)"));
    EXPECT_EQ(arrived.count(), 1);
    EXPECT_EQ(left.count(), 0);

    // The same content again changes nothing.
    page.SetOnline(page.Online());
    EXPECT_EQ(ChildTexts(page.m_hRoot), QStringList({"alice"}));
    EXPECT_EQ(arrived.count(), 1);
    EXPECT_EQ(left.count(), 0);

    // One leaves, one arrives: existing items keep their place, new ones are appended.
    page.SetOnline({{QStringLiteral("dave"), NetworkOrder(10, 0, 0, 9)},
                    {QStringLiteral("bob"), OnlinePage::kUnreachable},
                    {QStringLiteral("Bob"), NetworkOrder(10, 0, 0, 8)}});
    EXPECT_EQ(ChildTexts(page.m_hRoot), QStringList({"dave", "bob", "Bob"}));
    EXPECT_EQ(arrived.count(), 2);
    EXPECT_EQ(left.count(), 1);
    EXPECT_TRUE(page.m_hRoot->isExpanded());

    page.SetOnline({{QStringLiteral("bob"), OnlinePage::kUnreachable},
                    {QStringLiteral("erin"), NetworkOrder(10, 0, 0, 7)}});
    EXPECT_EQ(ChildTexts(page.m_hRoot), QStringList({"bob", "erin"}));

    // An empty reply empties the tree; the buddy count follows the buddy list.
    page.SetOnline({});
    EXPECT_EQ(page.m_hRoot->childCount(), 0);
    EXPECT_EQ(left.count(), 3);
    buddies.SetBuddiesFromText(QStringLiteral("alice"));
    EXPECT_EQ(page.m_hRoot->text(0), QStringLiteral("Buddies Online (0/1)"));
    EXPECT_EQ(page.Tree()->topLevelItemCount(), 1);
}

}  // namespace

namespace {

TEST(OnlinePageReply, StatusWordSkippedLanAndUnreadableAddressesNotCallableOddWordDropped) {
    const QList<OnlineBuddy> online = OnlinePage::ParseReply(
        QStringLiteral("+OK alice 10.0.0.5 bob LAN dave not-an-address erin"));
    ASSERT_EQ(online.size(), 3);
    EXPECT_EQ(online[0].name, QStringLiteral("alice"));
    EXPECT_EQ(online[0].address, NetworkOrder(10, 0, 0, 5));
    EXPECT_EQ(online[1].address, OnlinePage::kUnreachable);
    EXPECT_EQ(online[2].name, QStringLiteral("dave"));
    EXPECT_EQ(online[2].address, OnlinePage::kUnreachable);
    EXPECT_TRUE(OnlinePage::ParseReply(QStringLiteral("+")).isEmpty());
}

TEST(OnlinePageReply, SoundsLeaveThenArriveAndTheOwnNameIsLeftOut) {
    OnlinePage page;
    page.SetOwnName(QStringLiteral("Carol"));
    QSignalSpy sounds(&page, &OnlinePage::playSound);
    page.UpdateFromReply(QStringLiteral("+ carol 1.2.3.4 alice 10.0.0.5"));
    EXPECT_EQ(ChildTexts(page.m_hRoot), QStringList({"alice"}));
    ASSERT_EQ(sounds.count(), 1);
    EXPECT_EQ(sounds.at(0).at(0).toString(), QStringLiteral("buddyin.wav"));
    EXPECT_EQ(sounds.at(0).at(1).toUInt(), 0x11u);

    page.UpdateFromReply(QStringLiteral("+ carol 1.2.3.4 alice 10.0.0.5"));
    EXPECT_EQ(sounds.count(), 1);  // the same content plays nothing

    page.UpdateFromReply(QStringLiteral("+ bob LAN"));
    ASSERT_EQ(sounds.count(), 3);
    EXPECT_EQ(sounds.at(1).at(0).toString(), QStringLiteral("buddyout.wav"));
    EXPECT_EQ(sounds.at(2).at(0).toString(), QStringLiteral("buddyin.wav"));
    EXPECT_EQ(page.LookupOnline(QStringLiteral("Bob"), nullptr), 0);
}

}  // namespace
