#pragma once

#include <QString>
#include <QWidget>

class QLineEdit;
class QKeyEvent;

// An IPv4 address edit: four fields of 0 to 255 separated by dots, in one sunken frame.
//
// Typing:
// - only digits enter a field; a value above 255 is clamped to 255 as soon as it is typed;
// - a dot in a field that holds digits moves to the next field, and so does the third digit;
//   a digit typed into a full field goes on in the next field;
// - Backspace in an empty field (or at its start) and Left at the start of a field go to the
//   end of the previous field; Right at the end of a field goes to the next one;
// - Tab and Shift+Tab leave the control from any field, as they would leave one edit;
// - pasting a dotted address (Ctrl+V, the context menu or any other insert that brings a
//   dot) fills the four fields from it.
// A field may be blank. The address is complete only when no field is blank.
class IpAddressEdit : public QWidget {
    Q_OBJECT
  public:
    explicit IpAddressEdit(QWidget* parent = nullptr);

    // True when all four fields are blank.
    bool IsBlank() const;
    // The dotted address as shown, each field as its decimal value without leading zeros;
    // a blank field reads as 0 ("10.1.0.0" for 10, 1 and two blank fields; "0.0.0.0" when
    // all are blank), which is how the Windows address control reported its text.
    QString Text() const;
    // The four field values, first field first. False (and fields untouched) when any field
    // is blank.
    bool GetAddress(quint8 fields[4]) const;
    // The address as a 32-bit value in network byte order (the first field in the first byte
    // in memory, as inet_addr returns it). False when any field is blank.
    bool GetAddressNetworkOrder(quint32* address) const;
    // Fills the fields from a dotted text: up to four parts, each a decimal number (clamped
    // to 255); a part that is empty or not a number leaves its field blank, and so do parts
    // that are missing. An empty text clears the control.
    void SetText(const QString& text);
    // Blanks all four fields.
    void Clear();

    // The value of one field (0 to 3), or -1 when it is blank.
    int FieldValue(int field) const;
    // Moves the keyboard focus to one field and selects its text.
    void SetFieldFocus(int field);
    // One of the four field editors (0 to 3).
    QLineEdit* Field(int field) const;

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

  signals:
    // Any field changed, by typing or by SetText/Clear.
    void addressChanged();

  protected:
    void paintEvent(QPaintEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    // Handles a key press on field `index`; true when the key was dealt with here.
    bool HandleFieldKey(int index, QKeyEvent* key);
    // Tab, Backspace and the arrows that may move to a neighbouring field.
    bool HandleMoveKey(int index, QKeyEvent* key, bool plain);
    // A printable character typed into field `index`: digits and dots; the rest is dropped.
    void TypeCharacter(int index, QChar c);
    // Keeps field `index` to at most three digits of value 0 to 255 after a user edit; a
    // dotted address that arrived by an insert fills all fields instead.
    void OnFieldEdited(int index);
    // Inserts clipboard text into field `index`: a dotted address fills all fields.
    void Paste(int index);
    void Normalize(int index);

    QLineEdit* m_fields[4] = {};
};
