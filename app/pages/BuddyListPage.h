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

  signals:
    // The context menu's "Add Buddy" and "Delete Buddy".
    void addRequested();
    void deleteRequested();
    // The list changed; `count` is its new length.
    void buddiesChanged(int count);

  protected:
    void OnInitDialog() override;

  private:
    CBuddyTreeCtrl* m_tree = nullptr;
    mutable QMutex m_lock;  // guards m_buddies, which other threads copy
    QStringList m_buddies;
};
