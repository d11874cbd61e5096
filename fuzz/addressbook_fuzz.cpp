// The address book's loader over whatever "recpt.dat" may hold: a file edited by hand, cut
// short, written by an older station or by another program.

#include "fuzztarget.h"

#include "addressbook/addressbook.h"
#include "platform/error.h"

#include <QDir>
#include <QFile>
#include <QSet>

namespace {

QByteArray FileBytes()
{
    QFile file(AddressBook::defaultFileName());
    FUZZ_CHECK(file.open(QIODevice::ReadOnly), "recpt.dat cannot be read back");
    return file.readAll();
}

// Lines as the loader counts them: CR LF, LF and CR alone each end one.
qsizetype LineCount(const QByteArray &bytes)
{
    qsizetype count = 0;
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes[i] != '\r' && bytes[i] != '\n')
            continue;
        ++count;
        if (bytes[i] == '\r' && i + 1 < bytes.size() && bytes[i + 1] == '\n')
            ++i;
        start = i + 1;
    }
    return count + (start < bytes.size() ? 1 : 0);
}

void Load(AddressBook &book, const QByteArray &what)
{
    try {
        book.LoadAddressBook();
    } catch (const Error &error) {
        FuzzFailure("a readable recpt.dat was refused", what + ": " + error.text());
    }
}

void Save(AddressBook &book)
{
    try {
        book.SaveAddressBook();
    } catch (const Error &error) {
        FuzzFailure("recpt.dat in a writable directory was not saved", error.text());
    }
}

// What a view of the tree relies on: every node reachable through the model and back.
void CheckTree(const AddressBook &book)
{
    FUZZ_CHECK(book.groupCount() >= 1, "no group after a load");
    FUZZ_CHECK(book.rowCount() == book.groupCount(), "");
    for (int group = 0; group < book.groupCount(); ++group) {
        const QModelIndex groupIndex = book.index(group, 0);
        FUZZ_CHECK(groupIndex.isValid() && !book.parent(groupIndex).isValid(), "");
        FUZZ_CHECK(book.position(groupIndex) == std::make_pair(group, -1), "");
        FUZZ_CHECK(book.data(groupIndex, AddressBook::TextRole).toByteArray()
                           == book.groupText(group),
                   book.groupText(group));
        FUZZ_CHECK(book.rowCount(groupIndex) == book.memberCount(group), "");
        for (int member = 0; member < book.memberCount(group); ++member) {
            const QModelIndex memberIndex = book.index(member, 0, groupIndex);
            FUZZ_CHECK(book.parent(memberIndex) == groupIndex, "");
            FUZZ_CHECK(book.position(memberIndex) == std::make_pair(group, member), "");
            FUZZ_CHECK(book.memberEntry(group, member) != nullptr, "");
        }
    }
}

// Whether the tree's texts are such that its file reads back as it was written: the record
// kinds "G" and "0" are no group's name, and no two groups or recipients of the first group
// share a name, since member records find both by their text.
bool ReadsBackAsWritten(const AddressBook &book)
{
    QSet<QByteArray> names;
    for (int group = 0; group < book.groupCount(); ++group) {
        const QByteArray text = book.groupText(group);
        if (text == "G" || text == "0" || names.contains(text))
            return false;
        names.insert(text);
    }
    for (int member = 0; member < book.memberCount(0); ++member) {
        const QByteArray text = book.memberText(0, member);
        if (names.contains(text))
            return false;
        names.insert(text);
    }
    return true;
}

// The lines the tree itself accounts for: three for each group and each member.
qsizetype TreeLines(const AddressBook &book)
{
    qsizetype nodes = book.groupCount();
    for (int group = 0; group < book.groupCount(); ++group)
        nodes += book.memberCount(group);
    return 3 * nodes;
}

} // namespace

std::string FuzzTargetSetUp()
{
    const QString directory = FuzzScratchDirectory();
    if (directory.isEmpty() || !QDir::setCurrent(directory))
        return "no temporary directory to work in can be made";
    return {};
}

void FuzzTestOneInput(const QByteArray &input)
{
    {
        QFile file(AddressBook::defaultFileName());
        FUZZ_CHECK(file.open(QIODevice::WriteOnly | QIODevice::Truncate), "cannot write input");
        FUZZ_CHECK(file.write(input) == input.size(), "cannot write input");
    }

    AddressBook book;
    Load(book, "the input");
    CheckTree(book);

    // Nothing of the user's file may be lost: every line comes back, placed in the tree or
    // kept as it was, and only the group of all recipients may be added in front.
    Save(book);
    const QByteArray saved = FileBytes();
    const qsizetype added = LineCount(saved) - LineCount(input);
    FUZZ_CHECK(added == 0 || added == 3, saved);

    // A book the station wrote itself reads back without losing a line either.
    AddressBook reread;
    Load(reread, "the saved file");
    CheckTree(reread);
    FUZZ_CHECK(reread.groupCount() >= book.groupCount(), saved);
    Save(reread);
    const QByteArray savedAgain = FileBytes();
    FUZZ_CHECK(LineCount(savedAgain) == LineCount(saved), saved + "\n--\n" + savedAgain);

    // A file of the tree alone, with names that cannot be mistaken, comes back byte for byte.
    if (LineCount(saved) == TreeLines(book) && ReadsBackAsWritten(book))
        FUZZ_CHECK(savedAgain == saved, saved + "\n--\n" + savedAgain);
}
