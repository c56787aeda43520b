#include <gtest/gtest.h>

#include "app/pages/tests/QtPrinters.h"

#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QTest>
#include <QVBoxLayout>

#include <cstring>

#include "app/pages/IpAddressEdit.h"

namespace {

// A shown, active window holding one address edit, so keys go where the focus goes.
class IpAddressEditTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto* layout = new QVBoxLayout(&window);
        before = new QLineEdit(&window);
        edit = new IpAddressEdit(&window);
        after = new QLineEdit(&window);
        layout->addWidget(before);
        layout->addWidget(edit);
        layout->addWidget(after);
        window.show();
        window.activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
        edit->SetFieldFocus(0);
    }

    // Types `keys` one by one into whichever field has the focus at that moment.
    void Type(const QString& keys) {
        for (QChar c : keys) {
            QWidget* target = QApplication::focusWidget();
            ASSERT_NE(target, nullptr);
            QTest::keyClick(target, c.toLatin1());
        }
    }
    void Press(Qt::Key key, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(QApplication::focusWidget(), key, modifiers);
    }
    QStringList FieldTexts() const {
        QStringList texts;
        for (int i = 0; i < 4; ++i) {
            texts << edit->Field(i)->text();
        }
        return texts;
    }
    int FocusedField() const {
        for (int i = 0; i < 4; ++i) {
            if (QApplication::focusWidget() == edit->Field(i)) {
                return i;
            }
        }
        return -1;
    }

    QWidget window;
    QLineEdit* before = nullptr;
    IpAddressEdit* edit = nullptr;
    QLineEdit* after = nullptr;
};

TEST_F(IpAddressEditTest, TypedDottedAddressFillsFieldsFirstFieldFirst) {
    edit->Clear();
    edit->SetFieldFocus(0);
    Type(QStringLiteral("192.168.1.20"));

    EXPECT_EQ(FieldTexts(), QStringList({"192", "168", "1", "20"}));
    EXPECT_EQ(edit->Text(), QStringLiteral("192.168.1.20"));
    EXPECT_FALSE(edit->IsBlank());

    quint8 fields[4] = {};
    ASSERT_TRUE(edit->GetAddress(fields));
    EXPECT_EQ(fields[0], 192);
    EXPECT_EQ(fields[1], 168);
    EXPECT_EQ(fields[2], 1);
    EXPECT_EQ(fields[3], 20);

    // Network byte order: the first field is the first byte in memory.
    quint32 address = 0;
    ASSERT_TRUE(edit->GetAddressNetworkOrder(&address));
    const quint8 expected[4] = {192, 168, 1, 20};
    EXPECT_EQ(std::memcmp(&address, expected, 4), 0);
}

TEST_F(IpAddressEditTest, ThirdDigitAdvancesAndValuesAboveMaximumAreClamped) {
    edit->Clear();
    edit->SetFieldFocus(0);
    Type(QStringLiteral("100"));
    EXPECT_EQ(FocusedField(), 1);
    Type(QStringLiteral("20030040"));  // 200, then 300 clamped to 255, then 40
    EXPECT_EQ(FieldTexts(), QStringList({"100", "200", "255", "40"}));
    EXPECT_EQ(edit->Text(), QStringLiteral("100.200.255.40"));

    // A digit that makes a field exceed 255 clamps it too.
    Type(QStringLiteral("9"));
    EXPECT_EQ(edit->Field(3)->text(), QStringLiteral("255"));
    // A digit after a full last field goes nowhere.
    Type(QStringLiteral("1"));
    EXPECT_EQ(FieldTexts(), QStringList({"100", "200", "255", "255"}));

    // A digit typed into a full field goes on in the next one.
    edit->SetText(QStringLiteral("123"));
    edit->Field(0)->setFocus();
    edit->Field(0)->end(false);
    Type(QStringLiteral("4"));
    EXPECT_EQ(FieldTexts(), QStringList({"123", "4", "", ""}));
    EXPECT_EQ(FocusedField(), 1);
}

TEST_F(IpAddressEditTest, StrayDotsAndNonDigitsAreIgnoredAndLeadingZerosDropped) {
    edit->Clear();
    edit->SetFieldFocus(0);
    Type(QStringLiteral(".a1-b0x.,7"));
    EXPECT_EQ(FieldTexts(), QStringList({"10", "7", "", ""}));

    // Leading zeros go when the field is left (here by its third digit).
    edit->Clear();
    edit->SetFieldFocus(0);
    Type(QStringLiteral("007"));
    EXPECT_EQ(FocusedField(), 1);
    EXPECT_EQ(edit->Field(0)->text(), QStringLiteral("7"));
}

TEST_F(IpAddressEditTest, BackspaceInEmptyFieldGoesBackToPreviousField) {
    edit->Clear();
    edit->SetFieldFocus(0);
    Type(QStringLiteral("10."));
    ASSERT_EQ(FocusedField(), 1);
    Press(Qt::Key_Backspace);
    EXPECT_EQ(FocusedField(), 0);
    Press(Qt::Key_Backspace);  // now deletes in the first field, from its end
    EXPECT_EQ(FieldTexts(), QStringList({"1", "", "", ""}));
}

TEST_F(IpAddressEditTest, BlankAndPartlyBlankAddresses) {
    edit->Clear();
    EXPECT_TRUE(edit->IsBlank());
    EXPECT_EQ(edit->Text(), QStringLiteral("0.0.0.0"));
    quint8 fields[4] = {9, 9, 9, 9};
    EXPECT_FALSE(edit->GetAddress(fields));

    edit->SetFieldFocus(0);
    Type(QStringLiteral("10.1"));
    EXPECT_FALSE(edit->IsBlank());
    EXPECT_EQ(edit->Text(), QStringLiteral("10.1.0.0"));
    EXPECT_FALSE(edit->GetAddress(fields));
    EXPECT_EQ(fields[0], 9) << "a failed GetAddress must leave the output alone";
    quint32 address = 0x12345678;
    EXPECT_FALSE(edit->GetAddressNetworkOrder(&address));
    EXPECT_EQ(address, 0x12345678u);

    // A typed 0 is a value, not a blank.
    edit->SetText(QStringLiteral("0.0.0.0"));
    EXPECT_FALSE(edit->IsBlank());
    EXPECT_TRUE(edit->GetAddress(fields));
}

TEST_F(IpAddressEditTest, SetTextParsesEachPartOnItsOwn) {
    edit->SetText(QStringLiteral(" 300.1.x.04 "));
    EXPECT_EQ(FieldTexts(), QStringList({"255", "1", "", "4"}));
    edit->SetText(QStringLiteral("10.2"));
    EXPECT_EQ(FieldTexts(), QStringList({"10", "2", "", ""}));
    edit->SetText(QStringLiteral("-1.+2.3.4"));
    EXPECT_EQ(FieldTexts(), QStringList({"", "", "3", "4"}));
    edit->SetText(QString());
    EXPECT_TRUE(edit->IsBlank());
}

TEST_F(IpAddressEditTest, PastedDottedAddressFillsAllFields) {
    edit->Clear();
    QApplication::clipboard()->setText(QStringLiteral("10.20.30.40"));
    edit->SetFieldFocus(2);
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(FieldTexts(), QStringList({"10", "20", "30", "40"}));

    // Digits without a dot are pasted into the field, cut to a valid value.
    QApplication::clipboard()->setText(QStringLiteral("7x77"));
    edit->SetFieldFocus(1);
    Press(Qt::Key_V, Qt::ControlModifier);
    EXPECT_EQ(FieldTexts(), QStringList({"10", "255", "30", "40"}));
}

TEST_F(IpAddressEditTest, TabEntersAtTheFirstFieldAndLeavesFromAnyField) {
    before->setFocus();
    Press(Qt::Key_Tab);
    EXPECT_EQ(FocusedField(), 0);
    Press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), after);

    edit->SetFieldFocus(2);
    Press(Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), after);
    edit->SetFieldFocus(2);
    Press(Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(QApplication::focusWidget(), before);
}

}  // namespace
