#pragma once

#include <QMutex>
#include <QStringList>

#include "app/pages/SheetPage.h"

class CBuddyTreeCtrl;
class QTreeWidgetItem;

// The page "Buddies": the names of the people the user wants to see online and call, as a
// tree with the root "Buddy List" and one child per buddy. Adding and deleting are requested
// through signals; renaming opens the label editor of the selected buddy.
class BuddyListPage : public SheetPage {
    Q_OBJECT
  public:
    explicit BuddyListPage(QWidget* parent = nullptr);

    CBuddyTreeCtrl* Tree() const { return m_tree; }

    // The root item "Buddy List"; replaced each time the tree is rebuilt.
    QTreeWidgetItem* m_hRoot = nullptr;

    // A copy of the buddy names in display order, every one in lower case. Safe to call
    // from any thread.
    QStringList Buddies() const;
    int BuddyCount() const;

    // Replaces the list by the words of `text` (separated by white space), in lower case,
    // and rebuilds the tree. Returns 1.
    int SetBuddiesFromText(const QString& text);

    // Rebuilds the tree from the list: the root, then one child per name; root expanded.
    void RebuildTree();

    // Opens the label editor on the selected buddy; the root cannot be renamed.
    void Rename();

    // The user whose list is saved ("" saves nothing); set at login.
    void SetUser(const QString& user) { m_strUser = user; }

    // "Add Buddy": a new entry "**new buddy**" under the root with its label editor open, or
    // "Please login first" while the page is not in the sheet.
    void Add();
    // "Delete Buddy": removes the selected buddy, or "Please login first" while the page is not
    // in the sheet.
    void Delete();

    // Writes the list under the user's key. Returns 1.
    int SaveBuddies();

    // The start of a label edit on `item`: remembers its label.
    void BeginLabelEdit(QTreeWidgetItem* item);
    // The end of a label edit with the editor's `text`: applies the name rules (a refusal shows
    // its box and opens the editor again; an unchanged new entry is removed). True when the list
    // changed.
    bool EndLabelEdit(QTreeWidgetItem* item, const QString& text);

  signals:
    // The context menu's "Add Buddy" and "Delete Buddy".
    void addRequested();
    void deleteRequested();
    // The list changed; `count` is its new length.
    void buddiesChanged(int count);
    // The user added, renamed or deleted a buddy: the server's copy is out of date.
    void buddiesEdited();

  protected:
    void OnInitDialog() override;

  private:
    void ReopenEditor(QTreeWidgetItem* item);
    void ApplyName(QTreeWidgetItem* item, bool append, const QString& name);

    CBuddyTreeCtrl* m_tree = nullptr;
    QString m_strUser;
    QString m_strEditOld;   // the label when the edit began, trimmed and in lower case
    mutable QMutex m_lock;  // guards m_buddies, which other threads copy
    QStringList m_buddies;
};
