#pragma once

#include <QString>
#include <QStringList>

// The rules for a buddy name entered on the buddy list page.
namespace buddy_names {

// The label of an entry just added and not named yet.
inline constexpr const char* kNewBuddy = "**new buddy**";

inline constexpr const char* kEmptyText = "Buddy name cannot be empty!";
inline constexpr const char* kDuplicateText = "This buddy is already present in the list";
inline constexpr const char* kInvalidText = "This buddy name contains invalid characters or spaces";
inline constexpr const char* kLoginFirstText = "Please login first";

// The longest name the directory service accepts, in UTF-8 bytes.
inline constexpr int kMaxNameBytes = 63;

// The edited text as a name: surrounding white space removed, lower case.
QString Normalize(const QString& text);

// True when `name` (already normalized) holds a character the service refuses in a name (the
// 24 listed ones, any white space or control character) or is longer than kMaxNameBytes.
bool IsRefused(const QString& name);

enum class Verdict {
    Unchanged,       // the text is the old name: nothing to do
    RemoveNewEntry,  // an added entry left as "**new buddy**": remove it
    Empty,           // refused with kEmptyText
    Duplicate,       // refused with kDuplicateText
    Invalid,         // refused with kInvalidText
    Append,          // a new entry named: append `name`
    Replace          // a rename: replace the first name equal to the old one by `name`
};

struct EditResult {
    Verdict verdict;
    QString name;  // the normalized text
};

// Judges the end of a label edit: `oldLabel` is the label when the edit began, `text` what the
// editor holds now, `buddies` the list as it stands.
EditResult JudgeEdit(const QStringList& buddies, const QString& oldLabel, const QString& text);

// The box text of a refusal, or "" for the other verdicts.
QString RefusalText(Verdict verdict);

}  // namespace buddy_names
