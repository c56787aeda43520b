// The online page with the directory's extended list: buddies registered with the rendezvous
// ("/rv" after their address word) are listed like any other, the suffix never shows, and the
// page tells who can be called through the directory.

#include <gtest/gtest.h>

#include "app/pages/tests/QtPrinters.h"

#include <QImage>
#include <QTreeWidget>

#include <arpa/inet.h>

#include "app/pages/OnlinePage.h"

namespace {

QStringList EveryShownText(const QTreeWidget* tree) {
    QStringList texts;
    for (QTreeWidgetItemIterator it(const_cast<QTreeWidget*>(tree)); *it; ++it) {
        for (int role : {Qt::DisplayRole, Qt::ToolTipRole, Qt::StatusTipRole, Qt::WhatsThisRole}) {
            texts << (*it)->data(0, role).toString();
        }
    }
    return texts;
}

QImage IconImage(const QTreeWidgetItem* item) {
    return item->icon(0).pixmap(16, 16).toImage();
}

TEST(OnlinePageWithRendezvous, RegisteredBuddiesShowLikeOthersAndTheSuffixNeverShows) {
    OnlinePage page;
    page.resize(240, 200);
    page.show();
    page.UpdateFromReply(
        "+OK alice LAN/rv bob 198.51.100.7 carol 198.51.100.9/rv dave LAN erin nonsense/rv");
    QTreeWidgetItem* root = page.m_hRoot;
    ASSERT_EQ(root->childCount(), 5);
    QStringList names;
    for (int i = 0; i < root->childCount(); ++i) {
        names << root->child(i)->text(0);
    }
    EXPECT_EQ(names, QStringList({"alice", "bob", "carol", "dave", "erin"}));
    for (const QString& text : EveryShownText(page.Tree())) {
        EXPECT_FALSE(text.contains("rv")) << text.toStdString();
    }
    EXPECT_EQ(root->text(0), "Buddies Online (5/0)");
    // A registered buddy behind a router looks like one without the extension.
    EXPECT_EQ(IconImage(root->child(0)), IconImage(root->child(3)));
    EXPECT_EQ(IconImage(root->child(0)), IconImage(root->child(1)));

    // Who can be called how: alice through the directory, carol at her listed address as
    // before (the suffix is no part of it), dave not at all.
    OnlineBuddy found{};
    ASSERT_EQ(page.LookupOnline("alice", &found), 1);
    EXPECT_EQ(found.address, OnlinePage::kUnreachable);
    EXPECT_TRUE(found.rendezvous);
    ASSERT_EQ(page.LookupOnline("carol", &found), 1);
    EXPECT_EQ(found.address, inet_addr("198.51.100.9"));
    EXPECT_TRUE(found.rendezvous);
    ASSERT_EQ(page.LookupOnline("bob", &found), 1);
    EXPECT_EQ(found.address, inet_addr("198.51.100.7"));
    EXPECT_FALSE(found.rendezvous);
    ASSERT_EQ(page.LookupOnline("dave", &found), 1);
    EXPECT_EQ(found.address, OnlinePage::kUnreachable);
    EXPECT_FALSE(found.rendezvous);
    ASSERT_EQ(page.LookupOnline("erin", &found), 1);
    EXPECT_EQ(found.address, OnlinePage::kUnreachable);

    // A buddy whose registration lapsed stays listed, no longer callable through the directory.
    page.UpdateFromReply("+OK alice LAN");
    ASSERT_EQ(page.LookupOnline("alice", &found), 1);
    EXPECT_FALSE(found.rendezvous);
    EXPECT_EQ(root->childCount(), 1);
}

TEST(OnlinePageWithRendezvous, ALoneSuffixIsNoAddress) {
    const QList<OnlineBuddy> online = OnlinePage::ParseReply("+OK alice /rv bob LAN/rv/rv");
    ASSERT_EQ(online.size(), 2);
    EXPECT_EQ(online[0].address, OnlinePage::kUnreachable);
    EXPECT_EQ(online[1].address, OnlinePage::kUnreachable);
}

}  // namespace
