#include "app/shell/Prompts.h"

#include <QMessageBox>

namespace prompts {
namespace {

Responder& TheResponder() {
    static Responder responder;
    return responder;
}

const char* const kCaption = "Mervane";

}  // namespace

void Inform(QWidget* parent, const QString& text) {
    if (TheResponder()) {
        TheResponder()(text, false);
        return;
    }
    QMessageBox::information(parent, kCaption, text);
}

bool AskYesNo(QWidget* parent, const QString& text) {
    if (TheResponder()) {
        return TheResponder()(text, true);
    }
    return QMessageBox::question(parent, kCaption, text, QMessageBox::Yes | QMessageBox::No) ==
           QMessageBox::Yes;
}

void SetResponder(Responder responder) {
    TheResponder() = std::move(responder);
}

}  // namespace prompts
