#include "app/session/BuddyNames.h"

namespace buddy_names {

namespace {

// Asterisk, ampersand, apostrophe, tilde, blank, comma, double quote, less-than, greater-than,
// question mark, percent, exclamation mark, at sign, colon, semicolon, grave accent, both
// parentheses, plus, equals sign, vertical bar, backslash and slash.
constexpr char kForbidden[] = "*&'~ ,\"<><?&%!@:;`()+=|\\/";

bool SameName(const QString& a, const QString& b) {
    return a.compare(b, Qt::CaseInsensitive) == 0;
}

}  // namespace

QString Normalize(const QString& text) {
    return text.trimmed().toLower();
}

bool IsRefused(const QString& name) {
    if (name.toUtf8().size() > kMaxNameBytes) {
        return true;
    }
    for (const QChar c : name) {
        if (c.isSpace() || c.category() == QChar::Other_Control ||
            (c.unicode() < 0x80 &&
             QByteArray(kForbidden).contains(static_cast<char>(c.unicode())))) {
            return true;
        }
    }
    return false;
}

EditResult JudgeEdit(const QStringList& buddies, const QString& oldLabel, const QString& text) {
    const QString name = Normalize(text);
    const QString old = Normalize(oldLabel);
    if (name.isEmpty()) {
        return {Verdict::Empty, name};
    }
    if (name == old) {
        return {old == QLatin1String(kNewBuddy) ? Verdict::RemoveNewEntry : Verdict::Unchanged,
                name};
    }
    for (const QString& buddy : buddies) {
        if (SameName(buddy, name)) {
            return {Verdict::Duplicate, name};
        }
    }
    if (IsRefused(name)) {
        return {Verdict::Invalid, name};
    }
    return {old == QLatin1String(kNewBuddy) ? Verdict::Append : Verdict::Replace, name};
}

QString RefusalText(Verdict verdict) {
    switch (verdict) {
        case Verdict::Empty:
            return QString::fromLatin1(kEmptyText);
        case Verdict::Duplicate:
            return QString::fromLatin1(kDuplicateText);
        case Verdict::Invalid:
            return QString::fromLatin1(kInvalidText);
        default:
            return QString();
    }
}

}  // namespace buddy_names
