#pragma once

#include <QPoint>
#include <QTreeWidget>

class QMenu;

// The tree of the buddy list page, with its context menu ("Add Buddy", "Delete Buddy",
// "Rename", "Preferences") and its handling of Enter while a label is being edited.
//
// The menu opens only over an item: a right click selects the item under the cursor first,
// and a right click on empty tree area opens nothing. From the keyboard (the menu key or
// Shift+F10) the menu opens near the tree's top-left corner when an item is selected.
// Enter while a label is being edited ends the edit and goes no further, so it never
// presses the default button of the dialog around the tree.
class CBuddyTreeCtrl : public QTreeWidget {
    Q_OBJECT
  public:
    explicit CBuddyTreeCtrl(QWidget* parent = nullptr);

    // The item whose icon or label is at `viewportPos` (viewport coordinates), or null when
    // the point is on empty area, on the expand sign or on the indentation.
    QTreeWidgetItem* HitTestItem(const QPoint& viewportPos) const;

    // Shows the context menu at `globalPos` (screen coordinates) and returns when it closes.
    // (-1, -1) stands for a point 5 pixels right of and below the tree's top-left corner.
    virtual void ShowContextMenu(QPoint globalPos);

    // A new context menu whose entries emit the command signals below; the caller owns it.
    QMenu* CreateContextMenu(QWidget* parent = nullptr);

    // True while a label editor is open.
    bool IsEditingLabel() const { return state() == QAbstractItemView::EditingState; }

  signals:
    void addBuddyCommand();
    void deleteBuddyCommand();
    void renameCommand();
    // "Preferences" has no action yet.
    void preferencesCommand();

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void contextMenuEvent(QContextMenuEvent* event) override;
    bool edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;
};
