#include "app/pages/BuddyListPage.h"

#include <QMutexLocker>
#include <QRegularExpression>
#include <QVBoxLayout>

#include "app/pages/BuddyTreeCtrl.h"
#include "app/pages/PageIcons.h"

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
