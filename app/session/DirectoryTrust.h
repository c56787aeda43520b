#pragma once

#include <QString>

#include <functional>
#include <string>

#include "directory/client/TlsTrust.h"

// The desktop client's trust in directories whose certificate no authority vouches for: the keys
// the user trusted, kept per host in the settings file, and the question and the refusal the
// user sees.

// Kept keys: "Software/Mervane/DirectoryKeys/<host:port>" = "sha256//...".
class SettingsPinStore : public PinStore {
  public:
    std::string PinFor(const std::string& endpoint) const override;
    void Trust(const std::string& endpoint, const std::string& pin) override;
};

namespace directory_trust {

// The question about a key met for the first time: the host, the key's SHA-256 fingerprint and
// "Trust this directory?".
QString QuestionText(const KeyProblem& problem);
// The refusal of a key other than the one trusted for the host: nothing was sent, and how to
// trust a new key on purpose.
QString RefusalText(const KeyProblem& problem);

// Asks a Yes/No question in a box of its own without waiting for the answer: `answered` gets
// true for Yes once the user has chosen (No is the default button).
using Asker = std::function<void(const QString& text, std::function<void(bool yes)> answered)>;
void Ask(const QString& text, std::function<void(bool yes)> answered);
// Replaces the box by `asker` (empty: the box again); tests answer instead of a person.
void SetAsker(Asker asker);

}  // namespace directory_trust
