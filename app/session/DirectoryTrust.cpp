#include "app/session/DirectoryTrust.h"

#include <QMessageBox>

#include "app/settings/ProgramSettings.h"

namespace {

const char* const kKeysGroup = "Software/Mervane/DirectoryKeys/";
const char* const kCaption = "Mervane";

QString KeyPath(const std::string& endpoint) {
    return QString::fromLatin1(kKeysGroup) + QString::fromStdString(endpoint);
}

// The 95 characters of a fingerprint on two lines of 16 pairs each, easier to compare.
QString FingerprintLines(const std::string& fingerprint) {
    const QString text = QString::fromStdString(fingerprint);
    constexpr int kHalf = 16 * 3;
    if (text.size() <= kHalf) {
        return text;
    }
    return text.left(kHalf - 1) + QLatin1Char('\n') + text.mid(kHalf);
}

directory_trust::Asker& TheAsker() {
    static directory_trust::Asker asker;
    return asker;
}

}  // namespace

std::string SettingsPinStore::PinFor(const std::string& endpoint) const {
    return ProgramSettings::ReadText(KeyPath(endpoint)).toStdString();
}

void SettingsPinStore::Trust(const std::string& endpoint, const std::string& pin) {
    ProgramSettings::WriteText(KeyPath(endpoint), QString::fromStdString(pin));
}

namespace directory_trust {

QString QuestionText(const KeyProblem& problem) {
    return QStringLiteral("The directory at ") + QString::fromStdString(problem.host) +
           QStringLiteral(
               " has a certificate that no authority vouches for. Nothing has been sent "
               "to it.\n\nThe SHA-256 fingerprint of its certificate is\n") +
           FingerprintLines(problem.key.fingerprint) +
           QStringLiteral(
               "\n\nCompare it with the fingerprint the directory's operator gave you. "
               "If you trust it, Mervane will accept this key, and only this key, from "
               "this directory from now on.\n\nTrust this directory?");
}

QString RefusalText(const KeyProblem& problem) {
    const QString host = QString::fromStdString(problem.host);
    return QStringLiteral("The directory at ") + host +
           QStringLiteral(
               " presented a different key from the one you trusted, so Mervane did not "
               "connect and sent nothing.\n\nThe SHA-256 fingerprint of the certificate it "
               "presents now is\n") +
           FingerprintLines(problem.key.fingerprint) +
           QStringLiteral(
               "\n\nIf the directory's operator has changed its key on purpose, remove the "
               "entry for ") +
           host + QStringLiteral(" under DirectoryKeys in ") + ProgramSettings::FilePath() +
           QStringLiteral(" and log in again.");
}

void Ask(const QString& text, std::function<void(bool yes)> answered) {
    if (TheAsker()) {
        TheAsker()(text, std::move(answered));
        return;
    }
    auto* box =
        new QMessageBox(QMessageBox::Warning, kCaption, text, QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(QMessageBox::No);
    // The host comes from the settings or a discovery reply: shown as written, never as markup.
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QObject::connect(box, &QMessageBox::finished, box, [box, answered](int) {
        answered(box->clickedButton() == box->button(QMessageBox::Yes));
    });
    box->open();
}

void SetAsker(Asker asker) {
    TheAsker() = std::move(asker);
}

}  // namespace directory_trust
