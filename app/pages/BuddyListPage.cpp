#include "app/pages/BuddyListPage.h"

#include <QLineEdit>
#include <QMutexLocker>
#include <QPointer>
#include <QRegularExpression>
#include <QStyledItemDelegate>
#include <QTimer>
#include <QVBoxLayout>

#include "app/session/BuddyNames.h"
#include "app/session/SessionSettings.h"
#include "util/MessageBox.h"

#include <QTreeWidgetItemIterator>
#include "app/pages/BuddyTreeCtrl.h"
#include "app/pages/PageIcons.h"

namespace {

void Box(const QString& text) {
    MessageBox(text.toStdString().c_str(), "Mervane");
}

// Hands the start and the end of a label edit to the page, which applies the label itself.
class LabelDelegate : public QStyledItemDelegate {
  public:
    LabelDelegate(BuddyListPage* page, QTreeWidget* tree)
        : QStyledItemDelegate(tree), m_page(page), m_tree(tree) {
        connect(this, &QAbstractItemDelegate::closeEditor, this,
                [this](QWidget*, QAbstractItemDelegate::EndEditHint hint) {
                    // Esc: the edit ends with the text it began with.
                    if (hint == QAbstractItemDelegate::RevertModelCache && m_item) {
                        m_page->EndLabelEdit(m_item, m_item->text(0));
                    }
                    m_item = nullptr;
                });
    }

    void setEditorData(QWidget* editor, const QModelIndex& index) const override {
        QStyledItemDelegate::setEditorData(editor, index);
        m_item = m_tree->itemFromIndex(index);
        m_page->BeginLabelEdit(m_item);
    }

    void setModelData(QWidget* editor, QAbstractItemModel*,
                      const QModelIndex& index) const override {
        auto* line = qobject_cast<QLineEdit*>(editor);
        QTreeWidgetItem* item = m_tree->itemFromIndex(index);
        m_item = nullptr;
        if (line && item) {
            m_page->EndLabelEdit(item, line->text());
        }
    }

  private:
    BuddyListPage* m_page;
    QTreeWidget* m_tree;
    mutable QTreeWidgetItem* m_item = nullptr;
};

}  // namespace

BuddyListPage::BuddyListPage(QWidget* parent) : SheetPage(parent) {
    setWindowTitle(QStringLiteral("Buddies"));

    m_tree = new CBuddyTreeCtrl(this);
    m_tree->setObjectName(QStringLiteral("buddyTree"));
    m_tree->setToolTip(
        QStringLiteral("Add names of your buddies here. You can talk to them whenever they are "
                       "shown in online list."));
    connect(m_tree, &CBuddyTreeCtrl::addBuddyCommand, this, &BuddyListPage::addRequested);
    connect(m_tree, &CBuddyTreeCtrl::deleteBuddyCommand, this, &BuddyListPage::deleteRequested);
    connect(m_tree, &CBuddyTreeCtrl::renameCommand, this, &BuddyListPage::Rename);

    m_tree->setItemDelegate(new LabelDelegate(this, m_tree));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tree);

    RebuildTree();
}

void BuddyListPage::OnInitDialog() {
    RebuildTree();
}

QStringList BuddyListPage::Buddies() const {
    QMutexLocker locker(&m_lock);
    return m_buddies;
}

int BuddyListPage::BuddyCount() const {
    QMutexLocker locker(&m_lock);
    return static_cast<int>(m_buddies.size());
}

int BuddyListPage::SetBuddiesFromText(const QString& text) {
    static const QRegularExpression blanks(QStringLiteral("\\s+"));
    QStringList names = text.split(blanks, Qt::SkipEmptyParts);
    for (QString& name : names) {
        name = name.toLower();
    }
    {
        QMutexLocker locker(&m_lock);
        m_buddies = names;
    }
    RebuildTree();
    return 1;
}

void BuddyListPage::RebuildTree() {
    const QStringList names = Buddies();
    m_tree->clear();
    m_hRoot = new QTreeWidgetItem(m_tree, QStringList(QStringLiteral("Buddy List")));
    m_hRoot->setIcon(0, PageIcons::Root());
    m_hRoot->setFlags(m_hRoot->flags() & ~Qt::ItemIsEditable);
    for (const QString& name : names) {
        auto* item = new QTreeWidgetItem(m_hRoot, QStringList(name));
        item->setIcon(0, PageIcons::Buddy());
        item->setFlags(item->flags() | Qt::ItemIsEditable);
    }
    m_hRoot->setExpanded(true);
    emit buddiesChanged(static_cast<int>(names.size()));
}

void BuddyListPage::Rename() {
    QTreeWidgetItem* item = m_tree->currentItem();
    if (item && (item->flags() & Qt::ItemIsEditable)) {
        m_tree->editItem(item, 0);
    }
}

void BuddyListPage::Add() {
    if (!IsCreated()) {
        Box(QString::fromLatin1(buddy_names::kLoginFirstText));
        return;
    }
    auto* item =
        new QTreeWidgetItem(m_hRoot, QStringList(QString::fromLatin1(buddy_names::kNewBuddy)));
    item->setIcon(0, PageIcons::Buddy());
    item->setFlags(item->flags() | Qt::ItemIsEditable);
    m_hRoot->setExpanded(true);
    m_tree->setCurrentItem(item);
    m_tree->editItem(item, 0);
}

void BuddyListPage::Delete() {
    if (!IsCreated()) {
        Box(QString::fromLatin1(buddy_names::kLoginFirstText));
        return;
    }
    QTreeWidgetItem* item = m_tree->currentItem();
    if (item && item->parent() == m_hRoot) {
        const QString label = item->text(0);
        int count = 0;
        {
            QMutexLocker locker(&m_lock);
            for (qsizetype i = 0; i < m_buddies.size(); ++i) {
                if (m_buddies[i].compare(label, Qt::CaseInsensitive) == 0) {
                    m_buddies.removeAt(i);
                    break;
                }
            }
            count = static_cast<int>(m_buddies.size());
        }
        delete item;
        SaveBuddies();
        emit buddiesEdited();
        emit buddiesChanged(count);
        return;
    }
    emit buddiesChanged(BuddyCount());
}

int BuddyListPage::SaveBuddies() {
    if (!m_strUser.isEmpty()) {
        session_settings::SaveBuddyList(m_strUser, Buddies());
    }
    return 1;
}

void BuddyListPage::BeginLabelEdit(QTreeWidgetItem* item) {
    m_strEditOld = item ? buddy_names::Normalize(item->text(0)) : QString();
}

void BuddyListPage::ReopenEditor(QTreeWidgetItem* item) {
    // After the editor now closing is gone; the item may have gone meanwhile.
    QTimer::singleShot(0, m_tree, [tree = QPointer<QTreeWidget>(m_tree), item] {
        for (QTreeWidgetItemIterator it(tree); *it; ++it) {
            if (*it == item) {
                tree->setCurrentItem(item);
                tree->editItem(item, 0);
                return;
            }
        }
    });
}

void BuddyListPage::ApplyName(QTreeWidgetItem* item, bool append, const QString& name) {
    int count = 0;
    {
        QMutexLocker locker(&m_lock);
        if (append) {
            m_buddies.append(name);
        } else {
            for (QString& buddy : m_buddies) {
                if (buddy.compare(m_strEditOld, Qt::CaseInsensitive) == 0) {
                    buddy = name;
                    break;
                }
            }
        }
        count = static_cast<int>(m_buddies.size());
    }
    SaveBuddies();
    item->setText(0, name);
    m_tree->setCurrentItem(item);
    emit buddiesEdited();
    emit buddiesChanged(count);
}

bool BuddyListPage::EndLabelEdit(QTreeWidgetItem* item, const QString& text) {
    using buddy_names::Verdict;
    if (!item || item == m_hRoot) {
        return false;
    }
    const buddy_names::EditResult result = buddy_names::JudgeEdit(Buddies(), m_strEditOld, text);
    switch (result.verdict) {
        case Verdict::Append:
        case Verdict::Replace:
            ApplyName(item, result.verdict == Verdict::Append, result.name);
            return true;
        case Verdict::RemoveNewEntry:
            // Removed once the editor has let go of it.
            QTimer::singleShot(0, m_tree, [this, item] {
                for (int i = 0; m_hRoot && i < m_hRoot->childCount(); ++i) {
                    if (m_hRoot->child(i) == item) {
                        delete item;
                        return;
                    }
                }
            });
            return false;
        case Verdict::Unchanged:
            return false;
        default:
            Box(buddy_names::RefusalText(result.verdict));
            ReopenEditor(item);
            return false;
    }
}
