#include "app/pages/OnlinePage.h"

#include <QMutexLocker>
#include <QSet>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <arpa/inet.h>

#include <sstream>
#include <string>

#include "app/pages/BuddyListPage.h"
#include "app/pages/PageIcons.h"
#include "directory/client/CallPage.h"

OnlinePage::OnlinePage(QWidget* parent) : SheetPage(parent) {
    setWindowTitle(QStringLiteral("Online"));

    m_tree = new QTreeWidget(this);
    m_tree->setObjectName(QStringLiteral("onlineTree"));
    m_tree->setHeaderHidden(true);
    m_tree->setColumnCount(1);
    m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
    m_tree->setSelectionBehavior(QAbstractItemView::SelectRows);
    m_tree->setEditTriggers(QAbstractItemView::NoEditTriggers);
    m_tree->setToolTip(QStringLiteral(
        "This are the online users amongst your buddies with whom you can talk to now."));

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tree);

    BuildTree();
}

void OnlinePage::OnInitDialog() {
    BuildTree();
}

void OnlinePage::BuildTree() {
    m_tree->clear();
    m_hRoot = new QTreeWidgetItem(m_tree, QStringList(QStringLiteral("Buddies Online")));
    m_hRoot->setIcon(0, PageIcons::Root());
    m_hRoot->setExpanded(true);
    UpdateTitle();
}

int OnlinePage::LookupOnline(const QString& name, OnlineBuddy* out) const {
    QMutexLocker locker(&m_lock);
    for (const OnlineBuddy& buddy : m_online) {
        if (buddy.name == name) {
            if (out) {
                *out = buddy;
            }
            return 1;
        }
    }
    return 0;
}

QList<OnlineBuddy> OnlinePage::Online() const {
    QMutexLocker locker(&m_lock);
    return m_online;
}

void OnlinePage::SetOnline(const QList<OnlineBuddy>& online) {
    QSet<QString> names;
    {
        QMutexLocker locker(&m_lock);
        m_online = online;
    }
    for (const OnlineBuddy& buddy : online) {
        names.insert(buddy.name);
    }

    // The tree is changed outside the lock, so a look-up never waits for tree work.
    bool removed = false;
    for (int i = m_hRoot->childCount() - 1; i >= 0; --i) {
        QTreeWidgetItem* child = m_hRoot->child(i);
        if (!names.contains(child->text(0))) {
            delete child;
            removed = true;
        }
    }

    QSet<QString> shown;
    for (int i = 0; i < m_hRoot->childCount(); ++i) {
        shown.insert(m_hRoot->child(i)->text(0));
    }
    bool added = false;
    for (const OnlineBuddy& buddy : online) {
        if (shown.contains(buddy.name) ||
            (!m_strOwnName.isEmpty() &&
             buddy.name.compare(m_strOwnName, Qt::CaseInsensitive) == 0)) {
            continue;
        }
        auto* item = new QTreeWidgetItem(m_hRoot, QStringList(buddy.name));
        item->setIcon(0, PageIcons::Online());
        shown.insert(buddy.name);
        added = true;
    }

    if (removed) {
        emit buddiesLeft();
        emit playSound(QStringLiteral("buddyout.wav"), kSoundFlags);
    }
    if (added) {
        emit playSound(QStringLiteral("buddyin.wav"), kSoundFlags);
        m_hRoot->setExpanded(true);
        emit buddiesArrived();
    }
    UpdateTitle();
}

void OnlinePage::SetBuddyListPage(BuddyListPage* page) {
    if (m_buddyPage) {
        disconnect(m_buddyPage, nullptr, this, nullptr);
    }
    m_buddyPage = page;
    if (page) {
        connect(page, &BuddyListPage::buddiesChanged, this, &OnlinePage::UpdateTitle);
    }
    UpdateTitle();
}

int OnlinePage::UpdateTitle() {
    qsizetype online = 0;
    {
        QMutexLocker locker(&m_lock);
        online = m_online.size();
    }
    const qsizetype buddies = m_buddyPage ? m_buddyPage->BuddyCount() : 0;
    if (m_hRoot) {
        m_hRoot->setText(0, QStringLiteral("Buddies Online (%1/%2)").arg(online).arg(buddies));
    }
    return 1;
}

QList<OnlineBuddy> OnlinePage::ParseReply(const QString& reply) {
    std::istringstream words(reply.toStdString());
    std::string status;
    std::string name;
    std::string address;
    QList<OnlineBuddy> online;
    words >> status;
    while (words >> name >> address) {
        const OnlineAddress word = SplitOnlineAddress(address);
        // inet_addr gives INADDR_NONE (0xFFFFFFFF) for a word it cannot read.
        const quint32 value =
            word.address == "LAN" ? kUnreachable : ::inet_addr(word.address.c_str());
        online.append(OnlineBuddy{QString::fromStdString(name), value, word.rendezvous});
    }
    return online;
}

void OnlinePage::UpdateFromReply(const QString& reply) {
    SetOnline(ParseReply(reply));
}
