#pragma once

#include <QString>

#include <functional>

class QWidget;

// The client's own message boxes (OK, or Yes/No for the one question). Shown modally on the GUI
// thread. Tests install a responder that records the text and answers instead of a person.
namespace prompts {

using Responder = std::function<bool(const QString& text, bool yesNo)>;

// OK box.
void Inform(QWidget* parent, const QString& text);
// Yes/No box; true for Yes.
bool AskYesNo(QWidget* parent, const QString& text);

// Replaces the boxes by `responder` (empty: real boxes again).
void SetResponder(Responder responder);

}  // namespace prompts
