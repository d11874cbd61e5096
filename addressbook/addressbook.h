#pragma once

#include "platform/rescuedcopy.h"

#include <QAbstractItemModel>
#include <QByteArray>
#include <QList>
#include <QString>

#include <memory>
#include <utility>
#include <vector>

// One partner of the address book. Every node of the same partner, in whatever group, shares
// one entry, so a change of the entry is a change for all of them; the entry goes when its last
// node goes.
struct TRecipient
{
    QByteArray Name; // Windows-1250
    QByteArray Host; // computer name or IPv4 address
};

// The address book as a two-level tree: groups at the top level, the first of them the group of
// all recipients, and below each group its recipient nodes. A node's text is the name it was
// given when it was made; the entry behind a recipient node carries the current name. Texts
// are Windows-1250 bytes and compared exactly.
//
// The book is kept in "recpt.dat" in records of three lines. Nothing of the user's file is
// lost: a save replaces the file atomically, and records that a load skipped or did not reach
// (it stops at the first bad record) are written back after what the tree holds.
class AddressBook : public QAbstractItemModel
{
    Q_OBJECT

public:
    static constexpr int kGroupImage = 1;
    static constexpr int kRecipientImage = 2;
    enum Role {
        ImageIndexRole = Qt::UserRole + 1, // int: kGroupImage or kRecipientImage
        TextRole,                          // QByteArray: the node's text as stored
    };

    static QString defaultFileName() { return QStringLiteral("recpt.dat"); }
    static QByteArray allRecipientsName(); // "Všichni"

    // Empty until the first load, which always leaves at least the group of all recipients.
    explicit AddressBook(QObject *parent = nullptr);
    ~AddressBook() override;

    // The tree. Group g is a top-level node; member m of group g is its m-th child.
    int groupCount() const;
    QByteArray groupText(int group) const;
    int memberCount(int group) const;
    QByteArray memberText(int group, int member) const;
    std::shared_ptr<TRecipient> memberEntry(int group, int member) const;
    QModelIndex groupIndex(int group) const;
    QModelIndex memberIndex(int group, int member) const;
    // The group and member of a node; member is -1 for a group node, both -1 for none.
    std::pair<int, int> position(const QModelIndex &index) const;

    void AddGroupNode(const QByteArray &name);
    void AddRecipientNode(const QByteArray &name, const QByteArray &address);
    void AddMemberNode(const QByteArray &group, const QByteArray &name, const QByteArray &address);
    std::shared_ptr<TRecipient> FindRecipientByName(const QByteArray &name) const;
    // The node's index in tree order (each group followed by its members), or -1.
    int FindNodeByText(const QByteArray &text) const;

    // The editing of the address-book dialogs. Each change is announced to the views as it is
    // made; a position out of range throws Error and changes nothing.
    void SetGroupText(int group, const QByteArray &text);
    void SetMemberText(int group, int member, const QByteArray &text);
    // Every node of the entry, in every group, so that all of them name the partner alike.
    void SetRecipientNodesText(const TRecipient *entry, const QByteArray &text);
    void RemoveMemberNode(int group, int member);
    // A group goes with all its member nodes. The first group holds every recipient and
    // cannot go.
    void RemoveGroupNode(int group);
    // Every node of the entry, walked from the last node of the tree to the first; the number
    // of nodes removed.
    int RemoveRecipientNodes(const TRecipient *entry);
    using MemberList = std::vector<std::pair<QByteArray, std::shared_ptr<TRecipient>>>;
    // The group's members become exactly these nodes (text and entry), in this order.
    void SetMembers(int group, const MemberList &members);

    // Reads the file; a missing or empty file gives the one group "Všichni". Throws Error when
    // the file exists but cannot be read; the tree then holds "Všichni" alone, and the next
    // save first moves the unreadable file aside to "<file>.bak", or to the first free of
    // "<file>.bak1" to "<file>.bak99" when earlier copies are still there.
    static constexpr int kMostBackups = kMostRescuedCopies;
    void LoadAddressBook(const QString &fileName = defaultFileName());
    // Writes the whole tree; throws Error when the file cannot be written, leaving the old file
    // as it was.
    void SaveAddressBook(const QString &fileName = defaultFileName());
    // Whether the view should expand the first group after the load.
    bool firstGroupExpanded() const;

    // QAbstractItemModel
    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    struct Group;
    const Group &groupAt(int group) const;
    void requireMember(int group, int member) const;
    int groupRow(const Group *group) const;
    // Whether the member was added; false when no recipient bears the name.
    bool addMember(const QByteArray &group, const QByteArray &name);
    void readRecords(const QList<QByteArray> &lines);
    QByteArray fileBytes() const;
    // A load announces itself as one reset, not as the insertions it is made of.
    void beginInsert(const QModelIndex &parent, int row);
    void textChanged(const QModelIndex &index);
    void endInsert();

    std::vector<std::unique_ptr<Group>> m_groups;
    std::vector<QByteArray> m_keptLines; // records the tree could not place, written back
    bool m_firstGroupExpanded = false;
    bool m_loading = false;
    // The absolute path of a file the last load found but could not read. It is remembered by
    // path so that saving elsewhere does not move an unrelated file aside.
    QString m_unreadableFile;
};
