#include "app/shell/Prompts.h"

#include <QMessageBox>

#include "app/session/DirectoryTrust.h"

namespace prompts {
namespace {

Responder& TheResponder() {
    static Responder responder;
    return responder;
}

const char* const kCaption = "Mervane";

QMessageBox* OpenBox(QWidget* parent, QMessageBox::Icon icon, const QString& text,
                     QMessageBox::StandardButtons buttons) {
    auto* box = new QMessageBox(icon, kCaption, text, buttons, parent);
    // Box texts carry names and replies from the network: shown as received, never as markup.
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
    return box;
}

}  // namespace

void Inform(QWidget* parent, const QString& text) {
    if (TheResponder()) {
        TheResponder()(text, false);
        return;
    }
    OpenBox(parent, QMessageBox::Information, text, QMessageBox::Ok);
}

void Warn(QWidget* parent, const QString& text) {
    if (TheResponder()) {
        TheResponder()(text, false);
        return;
    }
    OpenBox(parent, QMessageBox::Warning, text, QMessageBox::Ok);
}

namespace {

QWidget* AskWith(QWidget* parent, QMessageBox::Icon icon, QMessageBox::StandardButton preset,
                 const QString& text, std::function<void(bool yes)> answered) {
    if (TheResponder()) {
        answered(TheResponder()(text, true));
        return nullptr;
    }
    QMessageBox* box = OpenBox(parent, icon, text, QMessageBox::Yes | QMessageBox::No);
    box->setDefaultButton(preset);
    QObject::connect(box, &QMessageBox::finished, box, [box, answered](int) {
        answered(box->clickedButton() == box->button(QMessageBox::Yes));
    });
    return box;
}

}  // namespace

QWidget* Ask(QWidget* parent, const QString& text, std::function<void(bool yes)> answered) {
    return AskWith(parent, QMessageBox::Question, QMessageBox::Yes, text, std::move(answered));
}

QWidget* AskWarning(QWidget* parent, const QString& text, std::function<void(bool yes)> answered) {
    return AskWith(parent, QMessageBox::Warning, QMessageBox::No, text, std::move(answered));
}

void SetResponder(Responder responder) {
    // The session's question about a directory's TLS key is answered the same way.
    directory_trust::SetAsker(
        responder ? directory_trust::Asker(
                        [responder](const QString& text, std::function<void(bool)> answered) {
                            answered(responder(text, true));
                        })
                  : directory_trust::Asker());
    TheResponder() = std::move(responder);
}

}  // namespace prompts
