#include <gtest/gtest.h>

#include "app/pages/tests/QtPrinters.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDialog>
#include <QLineEdit>
#include <QMenu>
#include <QMouseEvent>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>
#include <QVBoxLayout>

#include "app/pages/BuddyListPage.h"
#include "app/pages/BuddyTreeCtrl.h"
#include "util/MessageBox.h"

namespace {

// The buddy page inside a dialog with a default button, as it sits in the main window.
class BuddyPageInDialog : public ::testing::Test {
  protected:
    void SetUp() override {
        auto* layout = new QVBoxLayout(&dialog);
        page = new BuddyListPage(&dialog);
        layout->addWidget(page);
        okButton = new QPushButton(QStringLiteral("OK"), &dialog);
        okButton->setDefault(true);
        layout->addWidget(okButton);
        QObject::connect(okButton, &QPushButton::clicked, [this] { ++defaultClicks; });
        page->SetBuddiesFromText(QStringLiteral("Alice bob"));
        dialog.resize(300, 300);
        dialog.show();
        dialog.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&dialog));
        tree = page->Tree();
        alice = page->m_hRoot->child(0);
    }

    QDialog dialog;
    BuddyListPage* page = nullptr;
    CBuddyTreeCtrl* tree = nullptr;
    QTreeWidgetItem* alice = nullptr;
    QPushButton* okButton = nullptr;
    int defaultClicks = 0;
};

TEST_F(BuddyPageInDialog, EnterWhileRenamingEndsTheEditWithoutPressingTheDefaultButton) {
    tree->setFocus();
    tree->setCurrentItem(alice);
    page->Rename();
    ASSERT_TRUE(tree->IsEditingLabel());
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr);
    editor->selectAll();
    QTest::keyClicks(editor, QStringLiteral("carol"));
    QTest::keyClick(editor, Qt::Key_Return);

    EXPECT_FALSE(tree->IsEditingLabel());
    EXPECT_EQ(alice->text(0), QStringLiteral("carol"));
    EXPECT_EQ(defaultClicks, 0);

    // The same with the keypad's Enter.
    page->Rename();
    ASSERT_TRUE(tree->IsEditingLabel());
    editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr);
    QTest::keyClick(editor, Qt::Key_Enter, Qt::KeypadModifier);
    EXPECT_FALSE(tree->IsEditingLabel());
    EXPECT_EQ(defaultClicks, 0);

    // Without an edit in progress Enter does reach the dialog: the check above can fail.
    QTest::keyClick(tree, Qt::Key_Return);
    EXPECT_EQ(defaultClicks, 1);
}

TEST_F(BuddyPageInDialog, ARefusedNameShowsItsBoxAndOpensTheEditorAgainUntilANameFits) {
    QStringList boxes;
    SetMessageBoxHook([&](const std::string& text, const std::string&) {
        boxes << QString::fromStdString(text);
    });
    QSignalSpy edited(page, &BuddyListPage::buddiesEdited);
    tree->setFocus();
    tree->setCurrentItem(alice);
    page->Rename();
    // Types `text` into the open editor and ends the edit with Enter.
    auto type = [&](const QString& text) {
        auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
        ASSERT_NE(editor, nullptr);
        editor->selectAll();
        QTest::keyClicks(editor, text);
        QTest::keyClick(editor, Qt::Key_Return);
        QTest::qWait(20);  // the editor is opened again after the closing one is gone
    };
    type(QStringLiteral("b ob"));
    type(QStringLiteral("BOB"));
    type(QString(64, QLatin1Char('x')));  // longer than the service accepts
    ASSERT_TRUE(tree->IsEditingLabel());
    EXPECT_EQ(tree->currentItem(), alice);
    EXPECT_EQ(page->Buddies(), QStringList({"alice", "bob"}));
    EXPECT_EQ(edited.count(), 0);
    type(QStringLiteral(" Carol "));
    SetMessageBoxHook({});

    EXPECT_EQ(boxes, QStringList({"This buddy name contains invalid characters or spaces",
                                  "This buddy is already present in the list",
                                  "This buddy name contains invalid characters or spaces"}));
    EXPECT_FALSE(tree->IsEditingLabel());
    EXPECT_EQ(alice->text(0), QStringLiteral("carol"));
    EXPECT_EQ(page->Buddies(), QStringList({"carol", "bob"}));
    EXPECT_EQ(edited.count(), 1);
}

TEST_F(BuddyPageInDialog, NamesAreLowerCasedAndTheRootCannotBeRenamed) {
    EXPECT_EQ(page->Buddies(), QStringList({"alice", "bob"}));
    EXPECT_EQ(alice->text(0), QStringLiteral("alice"));
    tree->setCurrentItem(page->m_hRoot);
    page->Rename();
    EXPECT_FALSE(tree->IsEditingLabel());
    EXPECT_EQ(page->m_hRoot->text(0), QStringLiteral("Buddy List"));
}

TEST_F(BuddyPageInDialog, MenuEntriesReachThePage) {
    std::unique_ptr<QMenu> menu(tree->CreateContextMenu());
    QStringList texts;
    for (QAction* action : menu->actions()) {
        texts << action->text();
    }
    ASSERT_EQ(texts, QStringList({"Add Buddy", "Delete Buddy", "Rename", "Preferences"}));

    QSignalSpy added(page, &BuddyListPage::addRequested);
    QSignalSpy deleted(page, &BuddyListPage::deleteRequested);
    QSignalSpy preferences(tree, &CBuddyTreeCtrl::preferencesCommand);
    menu->actions()[0]->trigger();
    menu->actions()[1]->trigger();
    EXPECT_EQ(added.count(), 1);
    EXPECT_EQ(deleted.count(), 1);

    menu->actions()[3]->trigger();  // "Preferences" does nothing on the page
    EXPECT_EQ(preferences.count(), 1);
    EXPECT_FALSE(tree->IsEditingLabel());
    EXPECT_EQ(page->Buddies(), QStringList({"alice", "bob"}));

    tree->setCurrentItem(alice);
    menu->actions()[2]->trigger();  // "Rename" opens the editor on the selected buddy
    EXPECT_TRUE(tree->IsEditingLabel());
}

// A tree that records the menus it would show instead of showing them.
class RecordingTree : public CBuddyTreeCtrl {
  public:
    void ShowContextMenu(QPoint globalPos) override { shown.append(globalPos); }
    QList<QPoint> shown;
};

class BuddyTreeMenu : public ::testing::Test {
  protected:
    void SetUp() override {
        tree.resize(200, 200);
        auto* root = new QTreeWidgetItem(&tree, QStringList(QStringLiteral("Buddy List")));
        bob = new QTreeWidgetItem(root, QStringList(QStringLiteral("bob")));
        root->setExpanded(true);
        tree.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&tree));
    }
    void SendContextMenu(const QPoint& viewportPos, QContextMenuEvent::Reason reason) {
        QContextMenuEvent event(reason, viewportPos, tree.viewport()->mapToGlobal(viewportPos));
        QApplication::sendEvent(tree.viewport(), &event);
    }
    void RightPress(const QPoint& viewportPos) {
        QMouseEvent event(QEvent::MouseButtonPress, viewportPos,
                          tree.viewport()->mapToGlobal(viewportPos), Qt::RightButton,
                          Qt::RightButton, Qt::NoModifier);
        QApplication::sendEvent(tree.viewport(), &event);
    }
    QPoint LabelPoint(QTreeWidgetItem* item) const { return tree.visualItemRect(item).center(); }

    RecordingTree tree;
    QTreeWidgetItem* bob = nullptr;
};

TEST_F(BuddyTreeMenu, RightClickOnEmptyAreaOpensNoMenu) {
    const QPoint empty(20, tree.viewport()->height() - 10);
    ASSERT_EQ(tree.HitTestItem(empty), nullptr);
    RightPress(empty);
    SendContextMenu(empty, QContextMenuEvent::Mouse);
    EXPECT_TRUE(tree.shown.isEmpty());

    // The indentation left of a buddy is no hit either.
    const QPoint indent(2, LabelPoint(bob).y());
    EXPECT_EQ(tree.HitTestItem(indent), nullptr);
    SendContextMenu(indent, QContextMenuEvent::Mouse);
    EXPECT_TRUE(tree.shown.isEmpty());
}

TEST_F(BuddyTreeMenu, RightClickOnBuddySelectsItAndOpensMenuOnce) {
    tree.setCurrentItem(bob->parent());
    const QPoint label = LabelPoint(bob);
    EXPECT_EQ(tree.HitTestItem(label), bob);
    RightPress(label);
    EXPECT_EQ(tree.currentItem(), bob);
    SendContextMenu(label, QContextMenuEvent::Mouse);
    ASSERT_EQ(tree.shown.size(), 1);
    EXPECT_EQ(tree.shown[0], tree.viewport()->mapToGlobal(label));
}

TEST_F(BuddyTreeMenu, KeyboardMenuUsesTheCornerRuleOnlyWithASelection) {
    tree.setCurrentItem(nullptr);
    SendContextMenu(QPoint(0, 0), QContextMenuEvent::Keyboard);
    EXPECT_TRUE(tree.shown.isEmpty());

    tree.setCurrentItem(bob);
    SendContextMenu(QPoint(0, 0), QContextMenuEvent::Keyboard);
    ASSERT_EQ(tree.shown.size(), 1);
    EXPECT_EQ(tree.shown[0], QPoint(-1, -1));
}

TEST(BuddyTreeMenuPosition, MinusOneMeansFivePixelsIntoTheTree) {
    CBuddyTreeCtrl tree;
    tree.setGeometry(100, 100, 200, 200);
    tree.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&tree));
    QPoint shownAt(-100, -100);
    QTimer::singleShot(0, [&] {
        if (QWidget* popup = QApplication::activePopupWidget()) {
            shownAt = popup->pos();
            popup->close();
        }
    });
    tree.ShowContextMenu(QPoint(-1, -1));
    EXPECT_EQ(shownAt, tree.viewport()->mapToGlobal(QPoint(5, 5)));
}

}  // namespace
