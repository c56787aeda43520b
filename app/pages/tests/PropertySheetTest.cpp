#include <gtest/gtest.h>

#include "app/pages/tests/QtPrinters.h"

#include <QPointer>
#include <QTabBar>
#include <QTest>
#include <QTreeWidget>

#include <memory>

#include "app/pages/BuddyListPage.h"
#include "app/pages/ConnectIpPage.h"
#include "app/pages/IpAddressEdit.h"
#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/pages/OnlinePage.h"

namespace {

QStringList TabTexts(const CMyPropertySheet& sheet) {
    QStringList texts;
    for (int i = 0; i < sheet.count(); ++i) {
        texts << sheet.tabText(i);
    }
    return texts;
}

// A main window in miniature: the pages are its members, the sheet is its child, set up the
// way the main window does it at start-up (login and connect pages, login page active).
class PropertySheetTest : public ::testing::Test {
  protected:
    void SetUp() override {
        window.resize(500, 300);
        sheet = new CMyPropertySheet(&window);
        sheet->AddPage(&login);
        sheet->AddPage(&connectIp);
        sheet->SetPlacement(kPlacement);
        online.SetMainWindow(&window);
        buddies.SetMainWindow(&window);
        login.SetMainWindow(&window);
        sheet->SetActivePage(&buddies);  // not in the sheet yet: no effect
        sheet->SetActivePage(&connectIp);
        sheet->SetActivePage(&login);
    }
    void TearDown() override {
        delete sheet;  // before the pages, which are declared after the window
    }

    void Arrange(bool loggedIn) {
        ArrangePages(sheet, &login, &online, &buddies, &connectIp, loggedIn);
    }

    const QRect kPlacement{12, 40, 360, 170};
    QWidget window;
    LoginPage login;
    OnlinePage online;
    BuddyListPage buddies;
    ConnectIpPage connectIp;
    CMyPropertySheet* sheet = nullptr;
};

TEST_F(PropertySheetTest, StartUpShowsLoginAndConnectPagesWithLoginActive) {
    EXPECT_EQ(TabTexts(*sheet), QStringList({"Login", "Connect by IP"}));
    EXPECT_EQ(sheet->GetActivePage(), &login);
    EXPECT_EQ(connectIp.AddressControl()->Text(), QStringLiteral("127.0.0.1"));
    EXPECT_EQ(connectIp.AddressControl()->toolTip(),
              QStringLiteral("Enter the IP address of the machine of your buddy "));
    EXPECT_TRUE(login.IsCreated());
    EXPECT_TRUE(connectIp.IsCreated());
    EXPECT_FALSE(online.IsCreated());
    EXPECT_FALSE(buddies.IsCreated());
}

TEST_F(PropertySheetTest, SheetCoversPlacementWithTabsAtTheBottom) {
    window.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
    EXPECT_EQ(sheet->tabPosition(), QTabWidget::South);
    EXPECT_EQ(sheet->geometry(), kPlacement);
    EXPECT_EQ(sheet->m_rcPlacement, kPlacement);

    // The tabs sit below the page area, at the sheet's bottom edge.
    const QRect tabs = sheet->tabBar()->geometry();
    const QRect page = login.geometry();
    EXPECT_GE(tabs.top(), page.bottom());
    EXPECT_GE(tabs.bottom(), sheet->height() - 4);
    EXPECT_LE(tabs.bottom(), sheet->height());

    // A later placement moves and resizes it again.
    sheet->SetPlacement(QRect(0, 0, 300, 150));
    EXPECT_EQ(sheet->geometry(), QRect(0, 0, 300, 150));
}

TEST_F(PropertySheetTest, LoggedInAndLoggedOutPageSets) {
    Arrange(true);
    EXPECT_EQ(TabTexts(*sheet), QStringList({"Online", "Buddies", "Connect by IP"}));
    EXPECT_EQ(sheet->GetPage(0), &online);
    EXPECT_EQ(sheet->GetPage(1), &buddies);
    EXPECT_EQ(sheet->GetPage(2), &connectIp);
    EXPECT_EQ(sheet->GetActivePage(), &online);
    EXPECT_FALSE(sheet->HasPage(&login));
    EXPECT_FALSE(login.IsCreated());
    EXPECT_TRUE(online.IsCreated() && buddies.IsCreated() && connectIp.IsCreated());

    Arrange(false);
    EXPECT_EQ(TabTexts(*sheet), QStringList({"Login", "Connect by IP"}));
    EXPECT_EQ(sheet->GetPage(0), &login);
    EXPECT_EQ(sheet->GetActivePage(), &login);
    EXPECT_FALSE(sheet->HasPage(&online));
    EXPECT_FALSE(sheet->HasPage(&buddies));
    EXPECT_FALSE(online.IsCreated() || buddies.IsCreated());

    // Logging in twice in a row gives the same set, not duplicate tabs.
    Arrange(true);
    Arrange(true);
    EXPECT_EQ(TabTexts(*sheet), QStringList({"Online", "Buddies", "Connect by IP"}));
    EXPECT_EQ(sheet->GetActivePage(), &online);
}

TEST_F(PropertySheetTest, ConnectPageShowsLocalHostAgainAfterBeingReAdded) {
    IpAddressEdit* address = connectIp.AddressControl();
    address->SetText(QStringLiteral("10.0.0.7"));

    // Switching pages keeps what the user typed.
    sheet->SetActivePage(&login);
    sheet->SetActivePage(&connectIp);
    EXPECT_EQ(address->Text(), QStringLiteral("10.0.0.7"));

    Arrange(true);  // removes and re-adds the connect page
    EXPECT_EQ(address->Text(), QStringLiteral("127.0.0.1"));

    address->Clear();
    Arrange(false);
    EXPECT_EQ(address->Text(), QStringLiteral("127.0.0.1"));

    address->SetText(QStringLiteral("192.168.0.2"));
    sheet->RemovePage(&connectIp);
    sheet->AddPage(&connectIp);
    EXPECT_EQ(address->Text(), QStringLiteral("127.0.0.1"));
}

TEST_F(PropertySheetTest, RecreatedOnlinePageStartsWithOnlyItsRootButKeepsItsList) {
    Arrange(true);
    online.SetOnline({{QStringLiteral("alice"), 0x0500000Au}});
    ASSERT_EQ(online.m_hRoot->childCount(), 1);

    Arrange(false);
    Arrange(true);
    ASSERT_NE(online.m_hRoot, nullptr);
    EXPECT_EQ(online.Tree()->topLevelItemCount(), 1);
    EXPECT_EQ(online.m_hRoot->childCount(), 0);
    OnlineBuddy found{};
    EXPECT_EQ(online.LookupOnline(QStringLiteral("alice"), &found), 1);
    EXPECT_EQ(found.address, 0x0500000Au);
}

TEST_F(PropertySheetTest, OperationsOnAbsentPagesChangeNothing) {
    sheet->SetActivePage(&connectIp);
    sheet->RemovePage(&online);
    sheet->RemovePage(nullptr);
    sheet->SetActivePage(&buddies);
    sheet->SetActivePage(nullptr);
    sheet->AddPage(nullptr);
    sheet->AddPage(&connectIp);  // already there
    EXPECT_EQ(TabTexts(*sheet), QStringList({"Login", "Connect by IP"}));
    EXPECT_EQ(sheet->GetActivePage(), &connectIp);

    // Removing the active page makes a neighbour active.
    sheet->RemovePage(&connectIp);
    EXPECT_EQ(sheet->GetActivePage(), &login);
    sheet->RemovePage(&login);
    EXPECT_EQ(sheet->GetActivePage(), nullptr);
    EXPECT_EQ(sheet->GetPageCount(), 0);
}

TEST(PropertySheetOwnership, RemovedPagesGoBackToTheirOwnerAndSurviveTheSheet) {
    QWidget window;
    auto* owned = new ConnectIpPage(&window);    // owned by the window
    auto loose = std::make_unique<LoginPage>();  // owned by nobody in Qt terms
    QPointer<QWidget> ownedGuard(owned);

    auto* sheet = new CMyPropertySheet(&window);
    sheet->AddPage(owned);
    sheet->AddPage(loose.get());
    EXPECT_NE(owned->parentWidget(), &window);  // now inside the sheet

    sheet->RemovePage(owned);
    EXPECT_EQ(owned->parentWidget(), &window);
    EXPECT_TRUE(owned->isHidden());

    sheet->AddPage(owned);
    delete sheet;  // both pages are still in it
    ASSERT_FALSE(ownedGuard.isNull());
    EXPECT_EQ(owned->parentWidget(), &window);
    EXPECT_EQ(loose->parentWidget(), nullptr);
    EXPECT_FALSE(owned->IsCreated());
    EXPECT_FALSE(loose->IsCreated());
}

TEST(PropertySheetOwnership, WindowDestructionDeletesWindowOwnedPagesOnce) {
    auto window = std::make_unique<QWidget>();
    // The pages are created before the sheet and the sheet before them: both orders.
    auto* first = new OnlinePage(window.get());
    auto* sheet = new CMyPropertySheet(window.get());
    auto* last = new BuddyListPage(window.get());
    QPointer<QWidget> firstGuard(first), lastGuard(last), sheetGuard(sheet);
    sheet->AddPage(first);
    sheet->AddPage(last);

    window.reset();
    EXPECT_TRUE(firstGuard.isNull());
    EXPECT_TRUE(lastGuard.isNull());
    EXPECT_TRUE(sheetGuard.isNull());
}

TEST(PropertySheetOwnership, PageDeletedWhileInTheSheetLeavesIt) {
    CMyPropertySheet sheet;
    auto* page = new ConnectIpPage;
    LoginPage login;
    sheet.AddPage(page);
    sheet.AddPage(&login);
    delete page;
    EXPECT_EQ(TabTexts(sheet), QStringList({"Login"}));
    EXPECT_EQ(sheet.GetActivePage(), &login);
}

}  // namespace
