#pragma once

#include <QByteArray>
#include <QModelIndex>
#include <QString>

class AddressBook;
class QAbstractItemView;
class QTreeView;
class QWidget;
struct TRecipient;

// The edits of the address book behind the main window's tree commands. Each opens its dialog
// or question over the parent, changes the book only after OK, and returns true when it changed
// it; the caller then saves the book. A node is given by its position as AddressBook::position
// gives it (member -1 for a group node); a position that names no node changes nothing and
// shows nothing.
//
// Names are refused in the dialogs, which then stay open, when "recpt.dat" could not read them
// back as they were written: an empty name, a character that the file cannot hold, a group
// named "G" or "0", two groups of one name, a group and a recipient of one name, and two
// recipients whose names differ at most in case (the membership dialog tells its members by
// name, without regard to case).

// Adds the recipient to the first group; with a tree, expands that group and selects the node.
bool NewRecipient(AddressBook &book, QWidget *parent, QTreeView *tree = nullptr);
// Every node of the recipient, in every group, takes the new name.
bool EditRecipient(AddressBook &book, int group, int member, QWidget *parent);
// The one node of a group other than the first; the recipient stays in the book.
bool RemoveFromGroup(AddressBook &book, int group, int member, QWidget *parent);
// Every node of the node's recipient, in every group.
bool DeleteRecipientEverywhere(AddressBook &book, int group, int member, QWidget *parent);
// Appends the group; with a tree, selects its node.
bool NewGroup(AddressBook &book, QWidget *parent, QTreeView *tree = nullptr);
// Renames a group other than the first; its members stay.
bool EditGroup(AddressBook &book, int group, QWidget *parent);
// A group other than the first, with its member nodes; the recipients stay in the first group.
bool DeleteGroup(AddressBook &book, int group, QWidget *parent);
// Chooses the members of a group node; a recipient node opens nothing.
bool EditMembership(AddressBook &book, int group, int member, QWidget *parent);

// Why the name cannot be a recipient's, empty when it can. The recipient's own name does not
// count against it.
QString RecipientNameRefusal(const AddressBook &book,
                             const QByteArray &name,
                             const TRecipient *self = nullptr);
// Why the name cannot be a group's, empty when it can. The group's own name (self, a group
// position, or -1 for a new group) does not count against it.
QString GroupNameRefusal(const AddressBook &book, const QByteArray &name, int self = -1);

// A node of the book as the view shows it, through the proxy models between them; invalid when
// the view does not show that book.
QModelIndex ViewIndexOf(const QAbstractItemView &view, const QModelIndex &bookIndex);
// The book's own index of a node a view shows, for AddressBook::position; invalid when the
// index is not of an address book.
QModelIndex BookIndexOf(const QModelIndex &viewIndex);
