#include "addressbook.h"

#include "platform/codepage.h"
#include "platform/error.h"
#include "platform/filebytes.h"
#include "platform/rescuedcopy.h"

#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <optional>

struct AddressBook::Group
{
    struct Member
    {
        QByteArray text;
        std::shared_ptr<TRecipient> entry;
    };

    QByteArray text;
    std::vector<Member> members;
};

namespace {

const QByteArray kGroupRecord("G");
const QByteArray kAllRecipientsRecord("0");
const QByteArray kLineEnd("\r\n");
constexpr qsizetype kRecordLines = 3;

QByteArray ReadError(const QString &path)
{
    return EncodeWindows1250(u"Nelze přečíst soubor ") + PathToWindows1250(path);
}

QByteArray WriteError(const QString &path)
{
    return EncodeWindows1250(u"Nelze zapsat soubor ") + PathToWindows1250(path);
}

// The file may come from an editor of any system, so every line end counts, CR alone too.
QList<QByteArray> SplitLines(const QByteArray &bytes)
{
    QList<QByteArray> lines;
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n')
            continue;
        lines.append(bytes.sliced(start, i - start));
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    if (start < bytes.size())
        lines.append(bytes.sliced(start));
    return lines;
}

QString AbsolutePath(const QString &fileName)
{
    return QFileInfo(fileName).absoluteFilePath();
}

} // namespace

QByteArray AddressBook::allRecipientsName()
{
    return QByteArray("V\x9A"
                      "ichni");
}

AddressBook::AddressBook(QObject *parent)
    : QAbstractItemModel(parent)
{}

AddressBook::~AddressBook() = default;

int AddressBook::groupCount() const
{
    return static_cast<int>(m_groups.size());
}

QByteArray AddressBook::groupText(int group) const
{
    return groupAt(group).text;
}

int AddressBook::memberCount(int group) const
{
    return static_cast<int>(groupAt(group).members.size());
}

QByteArray AddressBook::memberText(int group, int member) const
{
    requireMember(group, member);
    return m_groups[group]->members[member].text;
}

std::shared_ptr<TRecipient> AddressBook::memberEntry(int group, int member) const
{
    requireMember(group, member);
    return m_groups[group]->members[member].entry;
}

QModelIndex AddressBook::groupIndex(int group) const
{
    return index(group, 0);
}

QModelIndex AddressBook::memberIndex(int group, int member) const
{
    return index(member, 0, groupIndex(group));
}

std::pair<int, int> AddressBook::position(const QModelIndex &index) const
{
    if (!index.isValid() || index.model() != this)
        return {-1, -1};
    const auto *group = static_cast<const Group *>(index.internalPointer());
    if (!group)
        return {index.row(), -1};
    return {groupRow(group), index.row()};
}

void AddressBook::AddGroupNode(const QByteArray &name)
{
    const int row = groupCount();
    beginInsert({}, row);
    m_groups.push_back(std::make_unique<Group>(Group{name, {}}));
    endInsert();
}

void AddressBook::AddRecipientNode(const QByteArray &name, const QByteArray &address)
{
    if (m_groups.empty())
        throw Error("The address book has no group for a new recipient.");
    Group &all = *m_groups.front();
    const int row = static_cast<int>(all.members.size());
    auto entry = std::make_shared<TRecipient>(TRecipient{name, address});
    beginInsert(groupIndex(0), row);
    all.members.push_back({name, std::move(entry)});
    endInsert();
}

void AddressBook::AddMemberNode(const QByteArray &group,
                                const QByteArray &name,
                                const QByteArray &address)
{
    // A member is one more node of a partner already known; the partner's address is the one
    // the entry holds, whatever the caller passes.
    Q_UNUSED(address);
    addMember(group, name);
}

std::shared_ptr<TRecipient> AddressBook::FindRecipientByName(const QByteArray &name) const
{
    if (m_groups.empty())
        return {};
    // The node's text, not the entry's current name: that is how the file's records refer to
    // a recipient, and the records are read against the texts made so far.
    for (const Group::Member &member : m_groups.front()->members) {
        if (member.text == name)
            return member.entry;
    }
    return {};
}

int AddressBook::FindNodeByText(const QByteArray &text) const
{
    int node = 0;
    for (const auto &group : m_groups) {
        if (group->text == text)
            return node;
        ++node;
        for (const Group::Member &member : group->members) {
            if (member.text == text)
                return node;
            ++node;
        }
    }
    return -1;
}

void AddressBook::SetGroupText(int group, const QByteArray &text)
{
    groupAt(group);
    m_groups[group]->text = text;
    textChanged(groupIndex(group));
}

void AddressBook::SetMemberText(int group, int member, const QByteArray &text)
{
    requireMember(group, member);
    m_groups[group]->members[member].text = text;
    textChanged(memberIndex(group, member));
}

void AddressBook::SetRecipientNodesText(const TRecipient *entry, const QByteArray &text)
{
    for (int group = 0; group < groupCount(); ++group) {
        std::vector<Group::Member> &members = m_groups[group]->members;
        for (int member = 0; member < static_cast<int>(members.size()); ++member) {
            if (members[member].entry.get() == entry)
                SetMemberText(group, member, text);
        }
    }
}

void AddressBook::RemoveMemberNode(int group, int member)
{
    requireMember(group, member);
    beginRemoveRows(groupIndex(group), member, member);
    std::vector<Group::Member> &members = m_groups[group]->members;
    members.erase(members.begin() + member);
    endRemoveRows();
}

void AddressBook::RemoveGroupNode(int group)
{
    groupAt(group);
    if (group == 0)
        throw Error("The group of all recipients cannot be removed.");
    beginRemoveRows({}, group, group);
    m_groups.erase(m_groups.begin() + group);
    endRemoveRows();
}

int AddressBook::RemoveRecipientNodes(const TRecipient *entry)
{
    int removed = 0;
    for (int group = groupCount() - 1; group >= 0; --group) {
        for (int member = memberCount(group) - 1; member >= 0; --member) {
            if (m_groups[group]->members[member].entry.get() == entry) {
                RemoveMemberNode(group, member);
                ++removed;
            }
        }
    }
    return removed;
}

void AddressBook::SetMembers(int group, const MemberList &members)
{
    groupAt(group);
    for (const auto &member : members) {
        if (!member.second)
            throw Error("A member node needs a recipient.");
    }
    const QModelIndex parent = groupIndex(group);
    std::vector<Group::Member> &nodes = m_groups[group]->members;
    if (!nodes.empty()) {
        beginRemoveRows(parent, 0, static_cast<int>(nodes.size()) - 1);
        nodes.clear();
        endRemoveRows();
    }
    if (members.empty())
        return;
    beginInsertRows(parent, 0, static_cast<int>(members.size()) - 1);
    for (const auto &[text, entry] : members)
        nodes.push_back({text, entry});
    endInsertRows();
}

void AddressBook::LoadAddressBook(const QString &fileName)
{
    // Read before the tree is touched; only then is it known which of the two outcomes to show.
    const std::optional<QByteArray> bytes = ReadFileBytes(fileName);
    {
        beginResetModel();
        m_loading = true;
        const auto endReset = qScopeGuard([this] {
            m_loading = false;
            endResetModel();
        });
        m_groups.clear();
        m_keptLines.clear();
        m_firstGroupExpanded = false;
        m_unreadableFile.clear();
        if (bytes) {
            const QList<QByteArray> lines = SplitLines(*bytes);
            m_firstGroupExpanded = !lines.isEmpty();
            readRecords(lines);
        } else {
            m_unreadableFile = AbsolutePath(fileName);
        }
        // The station sends to "all recipients" through the first group, so there must be one,
        // also when the file's first record could not make it.
        if (m_groups.empty())
            m_groups.push_back(std::make_unique<Group>(Group{allRecipientsName(), {}}));
    }
    if (!bytes)
        throw Error(ReadError(AbsolutePath(fileName)));
}

void AddressBook::SaveAddressBook(const QString &fileName)
{
    const QString path = AbsolutePath(fileName);
    // A save must not replace a file that was never read: the user may still rescue it.
    if (!m_unreadableFile.isEmpty() && m_unreadableFile == path) {
        MoveAsideAsRescuedCopy(path);
        m_unreadableFile.clear();
    }

    const QByteArray bytes = fileBytes();
    if (!ReplaceFileBytes(path, bytes))
        throw Error(WriteError(path));
}

bool AddressBook::firstGroupExpanded() const
{
    return m_firstGroupExpanded;
}

QModelIndex AddressBook::index(int row, int column, const QModelIndex &parent) const
{
    if (column != 0 || row < 0)
        return {};
    if (!parent.isValid())
        return row < groupCount() ? createIndex(row, 0) : QModelIndex();
    if (parent.model() != this || parent.internalPointer() || parent.row() >= groupCount())
        return {};
    const Group *group = m_groups[parent.row()].get();
    if (row >= static_cast<int>(group->members.size()))
        return {};
    // A member's index carries its group itself rather than the group's row, so that it stays
    // right whatever happens to the rows of the groups.
    return createIndex(row, 0, group);
}

QModelIndex AddressBook::parent(const QModelIndex &child) const
{
    if (!child.isValid() || !child.internalPointer())
        return {};
    return createIndex(groupRow(static_cast<const Group *>(child.internalPointer())), 0);
}

int AddressBook::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return groupCount();
    if (parent.column() != 0 || parent.internalPointer() || parent.row() >= groupCount())
        return 0;
    return memberCount(parent.row());
}

int AddressBook::columnCount(const QModelIndex &parent) const
{
    Q_UNUSED(parent);
    return 1;
}

QVariant AddressBook::data(const QModelIndex &index, int role) const
{
    const auto [group, member] = position(index);
    // Nothing may throw into a view, whatever index it asks with.
    if (group < 0 || group >= groupCount() || member >= memberCount(group))
        return {};
    const QByteArray text = member < 0 ? groupText(group) : memberText(group, member);
    switch (role) {
    case Qt::DisplayRole:
        return DecodeWindows1250(text);
    case ImageIndexRole:
        return member < 0 ? kGroupImage : kRecipientImage;
    case TextRole:
        return text;
    default:
        return {};
    }
}

Qt::ItemFlags AddressBook::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
}

const AddressBook::Group &AddressBook::groupAt(int group) const
{
    if (group < 0 || group >= groupCount())
        throw Error("Group " + QByteArray::number(group) + " does not exist.");
    return *m_groups[group];
}

void AddressBook::requireMember(int group, int member) const
{
    if (member < 0 || member >= memberCount(group))
        throw Error("Member " + QByteArray::number(member) + " of group "
                    + QByteArray::number(group) + " does not exist.");
}

int AddressBook::groupRow(const Group *group) const
{
    for (std::size_t row = 0; row < m_groups.size(); ++row) {
        if (m_groups[row].get() == group)
            return static_cast<int>(row);
    }
    return -1;
}

bool AddressBook::addMember(const QByteArray &group, const QByteArray &name)
{
    std::shared_ptr<TRecipient> entry = FindRecipientByName(name);
    if (!entry)
        return false;
    const int node = FindNodeByText(group);
    if (node < 0)
        throw Error("No group " + group + " for the member " + name + ".");
    // The tree has two levels, so a text that first names a recipient node gives no group to
    // add to; walking on to a group of the same text would read the file differently from the
    // way it has always been read.
    int groupNode = 0;
    int row = 0;
    while (row < groupCount() && groupNode < node) {
        groupNode += 1 + memberCount(row);
        ++row;
    }
    if (groupNode != node)
        throw Error("The node " + group + " for the member " + name + " is not a group.");
    Group &target = *m_groups[row];
    const int member = static_cast<int>(target.members.size());
    beginInsert(groupIndex(row), member);
    target.members.push_back({name, std::move(entry)});
    endInsert();
    return true;
}

void AddressBook::readRecords(const QList<QByteArray> &lines)
{
    qsizetype next = 0;
    for (; lines.size() - next >= kRecordLines; next += kRecordLines) {
        const QByteArray &kind = lines[next];
        const QByteArray &second = lines[next + 1];
        const QByteArray &third = lines[next + 2];
        try {
            if (kind == kGroupRecord) {
                AddGroupNode(third);
            } else if (kind == kAllRecipientsRecord) {
                AddRecipientNode(second, third);
            } else if (!addMember(kind, second)) {
                // A partner that is not in the book any more may still be wanted by the user,
                // who can add it again; the next save keeps the record.
                m_keptLines.insert(m_keptLines.end(), {kind, second, third});
            }
        } catch (const Error &) {
            break;
        }
    }
    // The records from the first bad one on are not understood, so they are not touched either:
    // written back as they are, they are at least not lost to a file repaired by hand.
    m_keptLines.insert(m_keptLines.end(), lines.cbegin() + next, lines.cend());
}

QByteArray AddressBook::fileBytes() const
{
    QByteArray bytes;
    const auto line = [&bytes](const QByteArray &text) {
        bytes += text;
        bytes += kLineEnd;
    };
    for (const auto &group : m_groups) {
        line(kGroupRecord);
        line(group->text);
        line(group->text);
    }
    // The entry's current name rather than the node's text: a renamed partner is written under
    // its new name for every group it is in, so that the records still find it when read.
    for (std::size_t row = 0; row < m_groups.size(); ++row) {
        for (const Group::Member &member : m_groups[row]->members) {
            line(row == 0 ? kAllRecipientsRecord : m_groups[row]->text);
            line(member.entry->Name);
            line(member.entry->Host);
        }
    }
    for (const QByteArray &kept : m_keptLines)
        line(kept);
    return bytes;
}

void AddressBook::beginInsert(const QModelIndex &parent, int row)
{
    if (!m_loading)
        beginInsertRows(parent, row, row);
}

void AddressBook::textChanged(const QModelIndex &index)
{
    Q_EMIT dataChanged(index, index, {Qt::DisplayRole, TextRole});
}

void AddressBook::endInsert()
{
    if (!m_loading)
        endInsertRows();
}
