#pragma once

#include <QHash>
#include <QPointer>
#include <QRect>
#include <QTabWidget>

// The main window's property sheet: a tab widget with its tabs at the bottom, placed over the
// rectangle the main window reserves for it.
//
// The sheet does not own its pages. A page keeps the parent it had before AddPage: removing
// it (or destroying the sheet) gives it back to that parent, hidden, so that neither the sheet
// nor its destruction ever deletes a page. A page that derives from SheetPage is created (its
// OnInitDialog runs) when it is added and destroyed when it is removed.
class CMyPropertySheet : public QTabWidget {
    Q_OBJECT
  public:
    explicit CMyPropertySheet(QWidget* parent = nullptr);
    ~CMyPropertySheet() override;

    // Appends `page` as the last tab, labelled with its window title. Adding the first page
    // makes it the active one. No effect for null or for a page already in the sheet.
    void AddPage(QWidget* page);
    // Takes `page` out of the sheet; no effect when it is not in it. When the active page is
    // removed, the tab to its right (else its left) becomes active.
    void RemovePage(QWidget* page);
    // Makes `page` the active page; no effect when it is not in the sheet.
    void SetActivePage(QWidget* page);
    // The active page, or null when the sheet is empty.
    QWidget* GetActivePage() const;
    bool HasPage(QWidget* page) const;
    int GetPageCount() const { return count(); }
    QWidget* GetPage(int index) const { return widget(index); }

    // Places the sheet on `placement` (the parent's coordinates): the sheet, and with it its
    // tabs and page area, take the rectangle's position and size.
    void SetPlacement(const QRect& placement);
    QRect m_rcPlacement;

  signals:
    // The active page changed (null when the sheet became empty).
    void activePageChanged(QWidget* page);

  private:
    void ReleasePage(QWidget* page);

    // The parent each page had before it was added, given back when it leaves the sheet.
    QHash<QWidget*, QPointer<QWidget>> m_owners;
};

// Sets the pages of `sheet` for the login state.
// Logged in: tabs online, buddies, connect by address (the connect page is taken out and
// added again so that it is last); each page is made active once, ending with the online
// page active.
// Logged out: tabs login, connect by address (again re-added), ending with the login page
// active.
// Any page pointer may be null; it is then left out.
void ArrangePages(CMyPropertySheet* sheet, QWidget* loginPage, QWidget* onlinePage,
                  QWidget* buddyPage, QWidget* connectPage, bool loggedIn);
inline void ArrangePages(CMyPropertySheet& sheet, QWidget* loginPage, QWidget* onlinePage,
                         QWidget* buddyPage, QWidget* connectPage, bool loggedIn) {
    ArrangePages(&sheet, loginPage, onlinePage, buddyPage, connectPage, loggedIn);
}
