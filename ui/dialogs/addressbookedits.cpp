#include "addressbookedits.h"

#include "addressbook/addressbook.h"
#include "fmGroup.h"
#include "fmMembers.h"
#include "fmUser.h"

#include "platform/codepage.h"
#include "platform/ui/messagebox.h"

#include <QAbstractProxyModel>
#include <QTreeView>

#include <vector>

namespace {

bool IsGroup(const AddressBook &book, int group)
{
    return group >= 0 && group < book.groupCount();
}

bool IsMember(const AddressBook &book, int group, int member)
{
    return IsGroup(book, group) && member >= 0 && member < book.memberCount(group);
}

bool Confirm(QWidget *parent, const QString &question)
{
    return ConfirmWithOk(parent, question, QMessageBox::Warning);
}

void SelectNode(QTreeView *tree, const QModelIndex &bookIndex)
{
    if (!tree)
        return;
    const QModelIndex node = ViewIndexOf(*tree, bookIndex);
    if (!node.isValid())
        return;
    tree->setFocus();
    tree->setCurrentIndex(node);
    tree->scrollTo(node);
}

// Every name a recipient goes by: the entries' names and the texts of their nodes, which are
// the same unless a file was edited by hand.
bool IsRecipientName(const AddressBook &book,
                     const QByteArray &name,
                     Qt::CaseSensitivity sensitivity,
                     const TRecipient *self)
{
    const QString text = DecodeWindows1250(name);
    const auto same = [&](const QByteArray &other) {
        if (sensitivity == Qt::CaseSensitive)
            return other == name;
        return DecodeWindows1250(other).compare(text, Qt::CaseInsensitive) == 0;
    };
    for (int group = 0; group < book.groupCount(); ++group) {
        for (int member = 0; member < book.memberCount(group); ++member) {
            const std::shared_ptr<TRecipient> entry = book.memberEntry(group, member);
            if (entry.get() == self)
                continue;
            if (same(book.memberText(group, member)) || (entry && same(entry->Name)))
                return true;
        }
    }
    return false;
}

bool IsGroupName(const AddressBook &book, const QByteArray &name, int self)
{
    for (int group = 0; group < book.groupCount(); ++group) {
        if (group != self && book.groupText(group) == name)
            return true;
    }
    return false;
}

} // namespace

bool NewRecipient(AddressBook &book, QWidget *parent, QTreeView *tree)
{
    if (book.groupCount() == 0)
        return false;
    TfUser dialog(parent);
    dialog.setNameCheck(
            [&book](const QByteArray &name) { return RecipientNameRefusal(book, name); });
    if (dialog.exec() != QDialog::Accepted)
        return false;
    book.AddRecipientNode(dialog.name(), dialog.host());
    if (tree) {
        const QModelIndex all = ViewIndexOf(*tree, book.groupIndex(0));
        if (all.isValid() && !tree->isExpanded(all))
            tree->expand(all);
        SelectNode(tree, book.memberIndex(0, book.memberCount(0) - 1));
    }
    return true;
}

bool EditRecipient(AddressBook &book, int group, int member, QWidget *parent)
{
    if (!IsMember(book, group, member))
        return false;
    const std::shared_ptr<TRecipient> entry = book.memberEntry(group, member);
    if (!entry)
        return false;
    TfUser dialog(parent);
    dialog.setRecipient(entry->Name, entry->Host);
    dialog.setNameCheck([&book, self = entry.get()](const QByteArray &name) {
        return RecipientNameRefusal(book, name, self);
    });
    if (dialog.exec() != QDialog::Accepted)
        return false;
    entry->Name = dialog.name();
    entry->Host = dialog.host();
    // All nodes at once: the membership dialog tells members by their nodes' texts, and a
    // node left with the old name would be dropped from its group there.
    book.SetRecipientNodesText(entry.get(), entry->Name);
    return true;
}

bool RemoveFromGroup(AddressBook &book, int group, int member, QWidget *parent)
{
    // A node of the first group is the recipient's place in the book; it goes only with all
    // the others, by DeleteRecipientEverywhere.
    if (group == 0 || !IsMember(book, group, member))
        return false;
    const QString question = QStringLiteral("Opravdu chcete odstranit příjemce ")
                             + DecodeWindows1250(book.memberText(group, member))
                             + QStringLiteral(" ze skupiny?");
    if (!Confirm(parent, question))
        return false;
    book.RemoveMemberNode(group, member);
    return true;
}

bool DeleteRecipientEverywhere(AddressBook &book, int group, int member, QWidget *parent)
{
    if (!IsMember(book, group, member))
        return false;
    const std::shared_ptr<TRecipient> entry = book.memberEntry(group, member);
    if (!entry)
        return false;
    const QString question = QStringLiteral("Opravdu chcete trvale ostranit příjemce ")
                             + DecodeWindows1250(book.memberText(group, member))
                             + QStringLiteral(" ze všech skupin?");
    if (!Confirm(parent, question))
        return false;
    book.RemoveRecipientNodes(entry.get());
    return true;
}

bool NewGroup(AddressBook &book, QWidget *parent, QTreeView *tree)
{
    TfGroup dialog(parent);
    dialog.setNameCheck([&book](const QByteArray &name) { return GroupNameRefusal(book, name); });
    if (dialog.exec() != QDialog::Accepted)
        return false;
    book.AddGroupNode(dialog.groupName());
    SelectNode(tree, book.groupIndex(book.groupCount() - 1));
    return true;
}

bool EditGroup(AddressBook &book, int group, QWidget *parent)
{
    if (group == 0 || !IsGroup(book, group))
        return false;
    TfGroup dialog(parent);
    dialog.setGroupName(book.groupText(group));
    dialog.setNameCheck(
            [&book, group](const QByteArray &name) { return GroupNameRefusal(book, name, group); });
    if (dialog.exec() != QDialog::Accepted)
        return false;
    book.SetGroupText(group, dialog.groupName());
    return true;
}

bool DeleteGroup(AddressBook &book, int group, QWidget *parent)
{
    if (group == 0 || !IsGroup(book, group))
        return false;
    const QString question = QStringLiteral("Opravdu chcete odstranit skupinu ")
                             + DecodeWindows1250(book.groupText(group)) + QStringLiteral("?");
    if (!Confirm(parent, question))
        return false;
    book.RemoveGroupNode(group);
    return true;
}

bool EditMembership(AddressBook &book, int group, int member, QWidget *parent)
{
    if (member != -1 || !IsGroup(book, group))
        return false;
    TfMembers dialog(book, parent);
    dialog.FillMembers(0, group);
    return dialog.exec() == QDialog::Accepted;
}

QString
RecipientNameRefusal(const AddressBook &book, const QByteArray &name, const TRecipient *self)
{
    if (IsRecipientName(book, name, Qt::CaseInsensitive, self))
        return QStringLiteral("Příjemce tohoto jména již existuje.");
    // A member record names its group by the first node of that text, of any level.
    if (IsGroupName(book, name, -1))
        return QStringLiteral("Skupina tohoto jména již existuje, příjemce se musí jmenovat "
                              "jinak.");
    return {};
}

QString GroupNameRefusal(const AddressBook &book, const QByteArray &name, int self)
{
    // The file's record markers: members of such a group would be read as groups or as new
    // recipients.
    if (name == "G" || name == "0")
        return QStringLiteral("Skupina se nesmí jmenovat „G“ ani „0“.");
    if (IsGroupName(book, name, self))
        return QStringLiteral("Skupina tohoto jména již existuje.");
    if (IsRecipientName(book, name, Qt::CaseSensitive, nullptr))
        return QStringLiteral("Příjemce tohoto jména již existuje, skupina se musí jmenovat "
                              "jinak.");
    return {};
}

QModelIndex ViewIndexOf(const QAbstractItemView &view, const QModelIndex &bookIndex)
{
    std::vector<const QAbstractProxyModel *> proxies;
    const QAbstractItemModel *model = view.model();
    while (model && model != bookIndex.model()) {
        const auto *proxy = qobject_cast<const QAbstractProxyModel *>(model);
        if (!proxy)
            return {};
        proxies.push_back(proxy);
        model = proxy->sourceModel();
    }
    if (!model)
        return {};
    QModelIndex index = bookIndex;
    for (auto proxy = proxies.rbegin(); proxy != proxies.rend(); ++proxy)
        index = (*proxy)->mapFromSource(index);
    return index;
}

QModelIndex BookIndexOf(const QModelIndex &viewIndex)
{
    QModelIndex index = viewIndex;
    while (index.isValid()) {
        const auto *proxy = qobject_cast<const QAbstractProxyModel *>(index.model());
        if (!proxy)
            break;
        index = proxy->mapToSource(index);
    }
    if (index.isValid() && !qobject_cast<const AddressBook *>(index.model()))
        return {};
    return index;
}
