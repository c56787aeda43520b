#include "app/pages/IpAddressEdit.h"

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPainter>
#include <QRegularExpression>
#include <QStyle>
#include <QStyleOptionFrame>

#include <cstring>

namespace {

constexpr int kFieldCount = 4;
constexpr int kMaxDigits = 3;
constexpr int kMaxValue = 255;

// Digits only, at most three of them, value at most 255; "" stays "".
QString CleanField(const QString& text) {
    QString digits;
    for (QChar c : text) {
        if (c >= QLatin1Char('0') && c <= QLatin1Char('9')) {
            digits.append(c);
        }
    }
    digits.truncate(kMaxDigits);
    if (!digits.isEmpty() && digits.toInt() > kMaxValue) {
        digits = QString::number(kMaxValue);
    }
    return digits;
}

}  // namespace

IpAddressEdit::IpAddressEdit(QWidget* parent) : QWidget(parent) {
    auto* layout = new QHBoxLayout(this);
    const int frame = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, this);
    layout->setContentsMargins(frame + 1, frame, frame + 1, frame);
    layout->setSpacing(0);

    const int fieldWidth = fontMetrics().horizontalAdvance(QStringLiteral("0000"));
    for (int i = 0; i < kFieldCount; ++i) {
        if (i > 0) {
            auto* dot = new QLabel(QStringLiteral("."), this);
            dot->setAlignment(Qt::AlignCenter);
            dot->setAttribute(Qt::WA_TransparentForMouseEvents);
            layout->addWidget(dot);
        }
        auto* field = new QLineEdit(this);
        field->setFrame(false);
        field->setAlignment(Qt::AlignCenter);
        field->setFixedWidth(fieldWidth);
        field->setObjectName(QStringLiteral("field%1").arg(i));
        // Tab enters the control at its first field and leaves it from any field; the other
        // fields are reached by typing, by the arrow keys or by the mouse.
        field->setFocusPolicy(i == 0 ? Qt::StrongFocus : Qt::ClickFocus);
        field->installEventFilter(this);
        connect(field, &QLineEdit::textEdited, this, [this, i] { OnFieldEdited(i); });
        connect(field, &QLineEdit::textChanged, this, &IpAddressEdit::addressChanged);
        connect(field, &QLineEdit::editingFinished, this, [this, i] { Normalize(i); });
        layout->addWidget(field);
        m_fields[i] = field;
    }
    layout->addStretch(1);
    setFocusProxy(m_fields[0]);
    setFocusPolicy(Qt::StrongFocus);
    setAttribute(Qt::WA_InputMethodEnabled, false);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
}

bool IpAddressEdit::IsBlank() const {
    for (const QLineEdit* field : m_fields) {
        if (!field->text().isEmpty()) {
            return false;
        }
    }
    return true;
}

QString IpAddressEdit::Text() const {
    QStringList parts;
    for (int i = 0; i < kFieldCount; ++i) {
        parts << QString::number(qMax(FieldValue(i), 0));
    }
    return parts.join(QLatin1Char('.'));
}

bool IpAddressEdit::GetAddress(quint8 fields[4]) const {
    quint8 values[kFieldCount];
    for (int i = 0; i < kFieldCount; ++i) {
        const int value = FieldValue(i);
        if (value < 0) {
            return false;
        }
        values[i] = static_cast<quint8>(value);
    }
    std::memcpy(fields, values, sizeof values);
    return true;
}

bool IpAddressEdit::GetAddressNetworkOrder(quint32* address) const {
    quint8 bytes[kFieldCount];
    if (!GetAddress(bytes)) {
        return false;
    }
    // Network byte order is the field order in memory, whatever the host's order is.
    std::memcpy(address, bytes, sizeof bytes);
    return true;
}

void IpAddressEdit::SetText(const QString& text) {
    const QStringList parts = text.trimmed().split(QLatin1Char('.'));
    for (int i = 0; i < kFieldCount; ++i) {
        QString value;
        if (i < parts.size()) {
            bool ok = false;
            const QString part = parts[i].trimmed();
            const int number = part.toInt(&ok);
            if (ok && number >= 0 && !part.startsWith(QLatin1Char('+'))) {
                value = QString::number(qMin(number, kMaxValue));
            }
        }
        m_fields[i]->setText(value);
    }
}

void IpAddressEdit::Clear() {
    for (QLineEdit* field : m_fields) {
        field->clear();
    }
}

int IpAddressEdit::FieldValue(int field) const {
    if (field < 0 || field >= kFieldCount) {
        return -1;
    }
    const QString text = m_fields[field]->text();
    if (text.isEmpty()) {
        return -1;
    }
    return qMin(text.toInt(), kMaxValue);
}

void IpAddressEdit::SetFieldFocus(int field) {
    if (field < 0 || field >= kFieldCount) {
        return;
    }
    m_fields[field]->setFocus(Qt::OtherFocusReason);
    m_fields[field]->selectAll();
}

QLineEdit* IpAddressEdit::Field(int field) const {
    return field >= 0 && field < kFieldCount ? m_fields[field] : nullptr;
}

QSize IpAddressEdit::sizeHint() const {
    QSize size = layout()->sizeHint();
    size.setHeight(qMax(size.height(), QLineEdit().sizeHint().height()));
    return size;
}

QSize IpAddressEdit::minimumSizeHint() const {
    return sizeHint();
}

void IpAddressEdit::paintEvent(QPaintEvent*) {
    // One line-edit frame around all four fields, so the control reads as one edit.
    QPainter painter(this);
    QStyleOptionFrame option;
    option.initFrom(this);
    option.rect = rect();
    option.lineWidth = style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, this);
    option.midLineWidth = 0;
    option.state |= QStyle::State_Sunken;
    for (const QLineEdit* field : m_fields) {
        if (field->hasFocus()) {
            option.state |= QStyle::State_HasFocus;
        }
    }
    style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &painter, this);
}

bool IpAddressEdit::eventFilter(QObject* watched, QEvent* event) {
    for (int i = 0; i < kFieldCount; ++i) {
        if (watched != m_fields[i]) {
            continue;
        }
        switch (event->type()) {
            case QEvent::KeyPress:
                return HandleFieldKey(i, static_cast<QKeyEvent*>(event));
            case QEvent::FocusIn:
            case QEvent::FocusOut:
                update();  // the frame shows the focus of any field
                break;
            case QEvent::ContextMenu: {
                // The standard menu, with Paste going through our dotted-address handling.
                auto* menuEvent = static_cast<QContextMenuEvent*>(event);
                QMenu* menu = m_fields[i]->createStandardContextMenu();
                menu->setAttribute(Qt::WA_DeleteOnClose);
                if (QAction* paste = menu->findChild<QAction*>(QStringLiteral("edit-paste"))) {
                    disconnect(paste, &QAction::triggered, nullptr, nullptr);
                    connect(paste, &QAction::triggered, this, [this, i] { Paste(i); });
                }
                menu->popup(menuEvent->globalPos());
                return true;
            }
            default:
                break;
        }
        return false;
    }
    return QWidget::eventFilter(watched, event);
}

bool IpAddressEdit::HandleFieldKey(int index, QKeyEvent* key) {
    if (key->matches(QKeySequence::Paste)) {
        Paste(index);
        return true;
    }
    const bool plain =
        !(key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier));
    switch (key->key()) {
        case Qt::Key_Backtab:
        case Qt::Key_Tab:
        case Qt::Key_Backspace:
        case Qt::Key_Left:
        case Qt::Key_Right:
            return HandleMoveKey(index, key, plain);
        default:
            break;
    }
    const QString text = key->text();
    if (!plain || text.isEmpty() || !text.at(0).isPrint()) {
        return false;  // navigation, editing and shortcut keys behave as in any line edit
    }
    TypeCharacter(index, text.at(0));
    return true;
}

bool IpAddressEdit::HandleMoveKey(int index, QKeyEvent* key, bool plain) {
    QLineEdit* field = m_fields[index];
    const int cursor = field->cursorPosition();
    const bool selection = field->hasSelectedText();
    const bool atStart = index > 0 && !selection && cursor == 0;
    switch (key->key()) {
        case Qt::Key_Backtab:
        case Qt::Key_Tab:
            if (index > 0 &&
                (key->key() == Qt::Key_Backtab || (key->modifiers() & Qt::ShiftModifier))) {
                // Backwards out of the control is backwards from its first field.
                m_fields[0]->setFocus(Qt::OtherFocusReason);
                QApplication::sendEvent(m_fields[0], key);
                return true;
            }
            return false;
        case Qt::Key_Backspace:
        case Qt::Key_Left:
            if (atStart && (plain || key->key() == Qt::Key_Backspace)) {
                m_fields[index - 1]->setFocus(Qt::OtherFocusReason);
                m_fields[index - 1]->end(false);
                return true;
            }
            return false;
        case Qt::Key_Right:
            if (plain && index < kFieldCount - 1 && !selection && cursor == field->text().size()) {
                m_fields[index + 1]->setFocus(Qt::OtherFocusReason);
                m_fields[index + 1]->home(false);
                return true;
            }
            return false;
        default:
            return false;
    }
}

void IpAddressEdit::TypeCharacter(int index, QChar c) {
    QLineEdit* field = m_fields[index];
    if (c == QLatin1Char('.')) {
        // A dot ends a field that holds digits; in an empty field it is ignored.
        if (index < kFieldCount - 1 && !field->text().isEmpty()) {
            SetFieldFocus(index + 1);
        }
        return;
    }
    if (c < QLatin1Char('0') || c > QLatin1Char('9')) {
        return;  // anything else is not part of an address
    }
    if (field->text().size() >= kMaxDigits && !field->hasSelectedText()) {
        // A full field: the digit starts the next field.
        if (index < kFieldCount - 1) {
            SetFieldFocus(index + 1);
            m_fields[index + 1]->insert(QString(c));
            OnFieldEdited(index + 1);
        }
        return;
    }
    field->insert(QString(c));
    OnFieldEdited(index);
    if (index < kFieldCount - 1 && field->text().size() == kMaxDigits &&
        field->cursorPosition() == kMaxDigits) {
        SetFieldFocus(index + 1);
    }
}

void IpAddressEdit::OnFieldEdited(int index) {
    QLineEdit* field = m_fields[index];
    const QString text = field->text();
    static const QRegularExpression dotted(
        QStringLiteral("(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})\\.(\\d{1,3})"));
    if (text.contains(QLatin1Char('.'))) {
        const QRegularExpressionMatch match = dotted.match(text);
        if (match.hasMatch()) {
            SetText(match.captured(0));
            SetFieldFocus(kFieldCount - 1);
            return;
        }
    }
    const QString clean = CleanField(text);
    if (clean != text) {
        const int cursor = qMin(field->cursorPosition(), static_cast<int>(clean.size()));
        field->setText(clean);
        field->setCursorPosition(cursor);
    }
}

void IpAddressEdit::Paste(int index) {
    const QString text = QApplication::clipboard()->text().trimmed();
    if (text.contains(QLatin1Char('.'))) {
        SetText(text);
        SetFieldFocus(kFieldCount - 1);
        return;
    }
    m_fields[index]->insert(text);
    OnFieldEdited(index);
}

void IpAddressEdit::Normalize(int index) {
    // "007" becomes "7" when the user leaves the field, so the field shows its value.
    const int value = FieldValue(index);
    if (value >= 0 && m_fields[index]->text() != QString::number(value)) {
        m_fields[index]->setText(QString::number(value));
    }
}
