#include "app/pages/MyPropertySheet.h"

#include "app/pages/SheetPage.h"

CMyPropertySheet::CMyPropertySheet(QWidget* parent) : QTabWidget(parent) {
    setTabPosition(QTabWidget::South);
    connect(this, &QTabWidget::currentChanged, this,
            [this](int index) { emit activePageChanged(widget(index)); });
}

CMyPropertySheet::~CMyPropertySheet() {
    // Hand every page back to its owner before QTabWidget would delete it with the stack.
    while (count() > 0) {
        RemovePage(widget(count() - 1));
    }
}

void CMyPropertySheet::AddPage(QWidget* page) {
    if (!page || HasPage(page)) {
        return;
    }
    m_owners.insert(page, QPointer<QWidget>(page->parentWidget()));
    addTab(page, page->windowTitle());
    if (auto* sheetPage = qobject_cast<SheetPage*>(page)) {
        sheetPage->Create();
    }
}

void CMyPropertySheet::RemovePage(QWidget* page) {
    const int index = page ? indexOf(page) : -1;
    if (index < 0) {
        return;
    }
    removeTab(index);
    ReleasePage(page);
}

void CMyPropertySheet::ReleasePage(QWidget* page) {
    page->hide();
    const QPointer<QWidget> owner = m_owners.take(page);
    page->setParent(owner.data());
    if (auto* sheetPage = qobject_cast<SheetPage*>(page)) {
        sheetPage->Destroy();
    }
}

void CMyPropertySheet::SetActivePage(QWidget* page) {
    if (page && HasPage(page)) {
        setCurrentWidget(page);
    }
}

QWidget* CMyPropertySheet::GetActivePage() const {
    return currentWidget();
}

bool CMyPropertySheet::HasPage(QWidget* page) const {
    return page && indexOf(page) >= 0;
}

void CMyPropertySheet::SetPlacement(const QRect& placement) {
    m_rcPlacement = placement;
    setGeometry(placement);
}

void ArrangePages(CMyPropertySheet* sheet, QWidget* loginPage, QWidget* onlinePage,
                  QWidget* buddyPage, QWidget* connectPage, bool loggedIn) {
    if (!sheet) {
        return;
    }
    if (loggedIn) {
        sheet->RemovePage(loginPage);
        sheet->AddPage(onlinePage);
        sheet->AddPage(buddyPage);
        sheet->RemovePage(connectPage);
        sheet->AddPage(connectPage);
        sheet->SetActivePage(buddyPage);
        sheet->SetActivePage(connectPage);
        sheet->SetActivePage(onlinePage);
    } else {
        sheet->RemovePage(onlinePage);
        sheet->AddPage(loginPage);
        sheet->RemovePage(buddyPage);
        sheet->RemovePage(connectPage);
        sheet->AddPage(connectPage);
        sheet->SetActivePage(connectPage);
        sheet->SetActivePage(loginPage);
    }
}
