#pragma once

#include <QPointer>
#include <QWidget>

class CMyPropertySheet;

// Base of the pages shown in CMyPropertySheet.
//
// A page object lives as long as the main window, but its "window" exists only while the
// page is in the sheet: the sheet runs OnInitDialog() when the page is added and
// OnDestroyPage() when it is removed. Pages therefore start from their initial state each
// time they are added again (the connect page shows 127.0.0.1 again, the online tree holds
// only its root), while data kept in members (buddy names, online entries) survives.
class SheetPage : public QWidget {
    Q_OBJECT
  public:
    explicit SheetPage(QWidget* parent = nullptr);

    // True while the page is in a sheet (the page's window exists).
    bool IsCreated() const { return m_bCreated; }

    // The main window that owns the page; the page does not own it.
    void SetMainWindow(QWidget* mainWindow) { m_pMainDlg = mainWindow; }
    QWidget* MainWindow() const { return m_pMainDlg; }

  signals:
    // Emitted after OnInitDialog() has run, that is each time the page joins a sheet.
    void pageCreated();
    // Emitted after OnDestroyPage() has run, when the page leaves its sheet.
    void pageDestroyed();

  protected:
    // Set the controls to their initial state; runs each time the page joins a sheet.
    virtual void OnInitDialog() {}
    // Runs when the page leaves its sheet.
    virtual void OnDestroyPage() {}

  private:
    friend class CMyPropertySheet;
    void Create();
    void Destroy();

    bool m_bCreated = false;
    QPointer<QWidget> m_pMainDlg;
};
