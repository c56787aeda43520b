#include "app/pages/SheetPage.h"

SheetPage::SheetPage(QWidget* parent) : QWidget(parent) {}

void SheetPage::Create() {
    m_bCreated = true;
    OnInitDialog();
    emit pageCreated();
}

void SheetPage::Destroy() {
    if (!m_bCreated) {
        return;
    }
    m_bCreated = false;
    OnDestroyPage();
    emit pageDestroyed();
}
