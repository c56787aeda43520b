#pragma once

#include <QList>
#include <QMutex>
#include <QPointer>
#include <QString>

#include "app/pages/SheetPage.h"

class BuddyListPage;
class QTreeWidget;
class QTreeWidgetItem;

// One buddy the directory service reports as online.
struct OnlineBuddy {
    QString name;     // as the service sent it
    quint32 address;  // IPv4 in network byte order; kUnreachable when it cannot be called
    // The buddy's client is registered with the directory's rendezvous ("/rv" after the
    // address): behind a router it can still be called by name through the directory.
    bool rendezvous = false;
};

// The page "Online": the buddies the directory service reports as online, listed under one
// root item, and the addresses at which they can be called.
class OnlinePage : public SheetPage {
    Q_OBJECT
  public:
    // The address of a buddy behind a firewall: it cannot be called, only call out.
    static constexpr quint32 kUnreachable = 0xFFFFFFFFu;

    explicit OnlinePage(QWidget* parent = nullptr);

    QTreeWidget* Tree() const { return m_tree; }

    // The root item under which the online buddies are listed. It is replaced each time the
    // page joins the sheet, so read it afresh rather than keeping it.
    QTreeWidgetItem* m_hRoot = nullptr;

    // Looks up `name` in the online list, comparing exactly (case included). Returns 1 and
    // copies the entry to `out` (when given) if found, else 0.
    int LookupOnline(const QString& name, OnlineBuddy* out) const;

    // Replaces the online list and brings the tree in line with it: children of the root that
    // are no longer online are removed, new ones are appended in list order (except the user's
    // own name, compared without regard to case), and the title is refreshed.
    void SetOnline(const QList<OnlineBuddy>& online);
    QList<OnlineBuddy> Online() const;

    // The entries of a "GetUserList.asp" reply: the first word (the status) skipped, then
    // name/address pairs; "LAN" or an unreadable address gives kUnreachable; an odd last word
    // is dropped. An address word of the extended list ends in "/rv" when that buddy is
    // registered with the rendezvous: the suffix sets `rendezvous` and is no part of the address.
    static QList<OnlineBuddy> ParseReply(const QString& reply);

    // Applies an accepted "GetUserList.asp" reply (ParseReply, then SetOnline). Runs on the GUI
    // thread: the presence worker hands the reply over by value.
    void UpdateFromReply(const QString& reply);

    // Sounds are played asynchronously and not at all while another one plays.
    static constexpr unsigned kSoundFlags = 0x11;

    // The logged-in user's name; that user is never listed under the root.
    void SetOwnName(const QString& name) { m_strOwnName = name; }

    // The buddy list whose length the title counts; the title follows its changes.
    void SetBuddyListPage(BuddyListPage* page);

    // Sets the root's text to "Buddies Online (online/buddies)". Returns 1.
    int UpdateTitle();

  signals:
    // SetOnline removed at least one buddy from the tree.
    void buddiesLeft();
    // SetOnline added at least one buddy to the tree.
    void buddiesArrived();
    // Play `name` ("buddyout.wav" when buddies left, then "buddyin.wav" when buddies arrived)
    // with `flags` (kSoundFlags): connect to the program's sound player.
    void playSound(const QString& name, unsigned flags);

  protected:
    // A (re)created page starts with only its root; the next SetOnline fills it again.
    void OnInitDialog() override;

  private:
    void BuildTree();

    QTreeWidget* m_tree = nullptr;
    mutable QMutex m_lock;  // guards m_online
    QList<OnlineBuddy> m_online;
    QString m_strOwnName;
    QPointer<BuddyListPage> m_buddyPage;
};
