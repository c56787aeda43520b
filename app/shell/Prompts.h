#pragma once

#include <QString>

#include <functional>

class QWidget;

// The client's own message boxes (OK, or Yes/No for a question). They never wait: a box is
// shown modal to its window, and the answer to a question comes back through a function. Tests
// install a responder that records the text and answers at once instead of a person.
namespace prompts {

using Responder = std::function<bool(const QString& text, bool yesNo)>;

// OK box.
void Inform(QWidget* parent, const QString& text);
// OK box with the warning sign, for what the user must not miss (a buddy's changed key).
void Warn(QWidget* parent, const QString& text);
// Yes/No box; `answered` gets true for Yes once the user has chosen, and is not called when the
// box is closed by its window going away. Returns the box (nullptr when a responder answered),
// so that the caller can withdraw a question that no longer applies by deleting it.
QWidget* Ask(QWidget* parent, const QString& text, std::function<void(bool yes)> answered);
// Yes/No box with the warning sign and No as the default button, for a question whose careless
// Yes could let someone listen in.
QWidget* AskWarning(QWidget* parent, const QString& text, std::function<void(bool yes)> answered);

// Replaces the boxes by `responder` (empty: real boxes again), the session's question about a
// directory's TLS key included.
void SetResponder(Responder responder);

}  // namespace prompts
