#include "app/pages/BuddyTreeCtrl.h"

#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QMenu>
#include <QMouseEvent>

CBuddyTreeCtrl::CBuddyTreeCtrl(QWidget* parent) : QTreeWidget(parent) {
    setHeaderHidden(true);
    setColumnCount(1);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setSelectionBehavior(QAbstractItemView::SelectRows);
    setEditTriggers(QAbstractItemView::SelectedClicked | QAbstractItemView::EditKeyPressed);
    setContextMenuPolicy(Qt::DefaultContextMenu);
}

QTreeWidgetItem* CBuddyTreeCtrl::HitTestItem(const QPoint& viewportPos) const {
    QTreeWidgetItem* item = itemAt(viewportPos);
    if (!item) {
        return nullptr;
    }
    // The item's rectangle starts after its indentation and expand sign.
    return visualItemRect(item).contains(viewportPos) ? item : nullptr;
}

QMenu* CBuddyTreeCtrl::CreateContextMenu(QWidget* parent) {
    auto* menu = new QMenu(parent);
    connect(menu->addAction(QStringLiteral("Add Buddy")), &QAction::triggered, this,
            &CBuddyTreeCtrl::addBuddyCommand);
    connect(menu->addAction(QStringLiteral("Delete Buddy")), &QAction::triggered, this,
            &CBuddyTreeCtrl::deleteBuddyCommand);
    connect(menu->addAction(QStringLiteral("Rename")), &QAction::triggered, this,
            &CBuddyTreeCtrl::renameCommand);
    connect(menu->addAction(QStringLiteral("Preferences")), &QAction::triggered, this,
            &CBuddyTreeCtrl::preferencesCommand);
    return menu;
}

void CBuddyTreeCtrl::ShowContextMenu(QPoint globalPos) {
    if (globalPos == QPoint(-1, -1)) {
        globalPos = viewport()->mapToGlobal(QPoint(5, 5));
    }
    QMenu* menu = CreateContextMenu(this);
    menu->exec(globalPos);
    delete menu;
}

void CBuddyTreeCtrl::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::RightButton) {
        if (QTreeWidgetItem* item = HitTestItem(event->position().toPoint())) {
            setCurrentItem(item);
        }
    }
    QTreeWidget::mousePressEvent(event);
}

void CBuddyTreeCtrl::contextMenuEvent(QContextMenuEvent* event) {
    if (event->reason() == QContextMenuEvent::Mouse) {
        if (HitTestItem(event->pos())) {
            ShowContextMenu(event->globalPos());
            event->accept();
            return;
        }
    } else if (currentItem()) {
        ShowContextMenu(QPoint(-1, -1));
        event->accept();
        return;
    }
    // Not over an item: no menu here; the parent may offer its own.
    event->ignore();
}

bool CBuddyTreeCtrl::edit(const QModelIndex& index, EditTrigger trigger, QEvent* event) {
    const bool started = QTreeWidget::edit(index, trigger, event);
    if (started) {
        if (QWidget* editor = indexWidget(index)) {
            // Installed after the delegate's filter, so it sees the keys first.
            editor->installEventFilter(this);
        }
    }
    return started;
}

bool CBuddyTreeCtrl::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress && IsEditingLabel()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        auto* editor = qobject_cast<QWidget*>(watched);
        if ((key == Qt::Key_Return || key == Qt::Key_Enter) && editor && editor->parent() &&
            editor->parent() == viewport()) {
            // Enter ends the label edit here and is not passed on: left to itself the key
            // would travel up to the dialog and press its default button.
            commitData(editor);
            closeEditor(editor, QAbstractItemDelegate::NoHint);
            return true;
        }
    }
    return QTreeWidget::eventFilter(watched, event);
}
