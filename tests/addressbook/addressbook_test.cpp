#include "addressbook/addressbook.h"

#include "platform/error.h"
#include "support/filehelpers.h"
#include "support/printers.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <tuple>
#include <vector>

namespace {

const QByteArray kAll("V\x9A"
                      "ichni");

// Both groups of the usual example: every recipient in the first, Petr also in "Obchod".
const QByteArray kExample("G\r\nV\x9A"
                          "ichni\r\nV\x9A"
                          "ichni\r\n"
                          "G\r\nObchod\r\nObchod\r\n"
                          "0\r\nJana\r\nPC7\r\n"
                          "0\r\nPetr\r\n10.0.0.9\r\n"
                          "Obchod\r\nPetr\r\n10.0.0.9\r\n");

QByteArray Lines(std::initializer_list<QByteArray> lines)
{
    QByteArray bytes;
    for (const QByteArray &line : lines)
        bytes += line + "\r\n";
    return bytes;
}

QByteArray Records(std::initializer_list<std::initializer_list<QByteArray>> records)
{
    QByteArray bytes;
    for (const std::initializer_list<QByteArray> &record : records)
        bytes += Lines(record);
    return bytes;
}

class AddressBookTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    void loadBytes(const QByteArray &bytes)
    {
        WriteFileBytes(m_path, bytes);
        book.LoadAddressBook(m_path);
    }

    QByteArray savedBytes()
    {
        book.SaveAddressBook(m_path);
        return FileBytes(m_path);
    }

    // The tree as text, one group a line: "group: member, member".
    std::vector<QByteArray> tree() const
    {
        std::vector<QByteArray> groups;
        for (int g = 0; g < book.groupCount(); ++g) {
            QByteArray line = book.groupText(g) + ":";
            for (int m = 0; m < book.memberCount(g); ++m)
                line += (m == 0 ? " " : ", ") + book.memberText(g, m);
            groups.push_back(line);
        }
        return groups;
    }

    QStringList directoryEntries() const
    {
        return QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    QTemporaryDir m_dir;
    QString m_path = m_dir.filePath(AddressBook::defaultFileName());
    AddressBook book;
};

using AddressBookLoad = AddressBookTest;
using AddressBookSave = AddressBookTest;
using AddressBookTree = AddressBookTest;
using AddressBookModel = AddressBookTest;

} // namespace

// --- Loading ---

TEST_F(AddressBookLoad, MissingFileGivesAllRecipientsAndWritesNothing)
{
    book.LoadAddressBook(m_path);

    EXPECT_EQ(tree(), std::vector<QByteArray>{kAll + ":"});
    EXPECT_EQ(AddressBook::allRecipientsName(), kAll);
    EXPECT_FALSE(book.firstGroupExpanded());
    EXPECT_TRUE(directoryEntries().isEmpty());
}

TEST_F(AddressBookLoad, EmptyFileGivesAllRecipients)
{
    loadBytes({});

    EXPECT_EQ(tree(), std::vector<QByteArray>{kAll + ":"});
    EXPECT_FALSE(book.firstGroupExpanded());
}

TEST_F(AddressBookLoad, ExampleMakesTwoGroupsAndExpandsTheFirst)
{
    loadBytes(kExample);

    EXPECT_EQ(tree(), (std::vector<QByteArray>{kAll + ": Jana, Petr", "Obchod: Petr"}));
    EXPECT_EQ(book.memberEntry(0, 0)->Host, "PC7");
    EXPECT_EQ(book.memberEntry(0, 1)->Host, "10.0.0.9");
    EXPECT_TRUE(book.firstGroupExpanded());
}

TEST_F(AddressBookLoad, LfOnlyAndCrOnlyFilesLoadAsCrLf)
{
    for (const QByteArray &end : {QByteArray("\n"), QByteArray("\r")}) {
        QByteArray bytes = kExample;
        bytes.replace("\r\n", end);
        // The last line may lack its line end.
        bytes.chop(1);
        loadBytes(bytes);

        EXPECT_EQ(tree(), (std::vector<QByteArray>{kAll + ": Jana, Petr", "Obchod: Petr"}));
        EXPECT_EQ(savedBytes(), kExample);
    }
}

TEST_F(AddressBookLoad, EmptyLinesAreEmptyValues)
{
    loadBytes("G\r\n\r\n\r\n0\r\n\r\n\r\n");

    EXPECT_EQ(tree(), std::vector<QByteArray>{": "});
    EXPECT_EQ(book.memberEntry(0, 0)->Host, "");
    EXPECT_TRUE(book.firstGroupExpanded());
}

TEST_F(AddressBookLoad, GroupRecordTakesItsNameFromTheThirdLine)
{
    loadBytes(Lines({"G", "ignored", kAll, "G", "", "Obchod"}));

    EXPECT_EQ(tree(), (std::vector<QByteArray>{kAll + ":", "Obchod:"}));
}

TEST_F(AddressBookLoad, LinesOfAnIncompleteRecordAreKeptAndWrittenBack)
{
    const QByteArray bytes = Lines({"G", kAll, kAll, "0", "Jana", "PC7", "G"});
    loadBytes(bytes);

    EXPECT_EQ(tree(), std::vector<QByteArray>{kAll + ": Jana"});
    EXPECT_EQ(savedBytes(), bytes);
    book.LoadAddressBook(m_path);
    EXPECT_EQ(savedBytes(), bytes);
}

TEST_F(AddressBookLoad, MemberOfAnUnknownRecipientIsSkippedAndWrittenBack)
{
    loadBytes(Records({{"G", kAll, kAll},
                       {"G", "Obchod", "Obchod"},
                       {"Obchod", "Karel", "PC9"},
                       {"0", "Jana", "PC7"},
                       {"Obchod", "Jana", "PC7"}}));

    EXPECT_EQ(tree(), (std::vector<QByteArray>{kAll + ": Jana", "Obchod: Jana"}));
    const QByteArray expected = Records({{"G", kAll, kAll},
                                         {"G", "Obchod", "Obchod"},
                                         {"0", "Jana", "PC7"},
                                         {"Obchod", "Jana", "PC7"},
                                         {"Obchod", "Karel", "PC9"}});
    EXPECT_EQ(savedBytes(), expected);
    book.LoadAddressBook(m_path);
    EXPECT_EQ(tree(), (std::vector<QByteArray>{kAll + ": Jana", "Obchod: Jana"}));
    EXPECT_EQ(savedBytes(), expected);
}

TEST_F(AddressBookLoad, MemberOfAMissingGroupStopsTheLoadAndTheRestIsWrittenBack)
{
    const QByteArray bytes = Records({{"G", kAll, kAll},
                                      {"0", "Jana", "PC7"},
                                      {"Nikde", "Jana", "PC7"},
                                      {"G", "Obchod", "Obchod"},
                                      {"0", "Petr", "10.0.0.9"},
                                      {"Obchod", "Jana", "PC7"}});
    loadBytes(bytes);

    EXPECT_EQ(tree(), std::vector<QByteArray>{kAll + ": Jana"});
    EXPECT_TRUE(book.firstGroupExpanded());
    EXPECT_EQ(savedBytes(), bytes);
}

TEST_F(AddressBookLoad, GroupNamesAreCaseSensitive)
{
    const QByteArray bytes = Records({{"G", kAll, kAll},
                                      {"G", "Obchod", "Obchod"},
                                      {"0", "Petr", "10.0.0.9"},
                                      {"obchod", "Petr", "10.0.0.9"}});
    loadBytes(bytes);

    EXPECT_EQ(tree(), (std::vector<QByteArray>{kAll + ": Petr", "Obchod:"}));
    EXPECT_EQ(book.FindNodeByText("obchod"), -1);
    EXPECT_EQ(savedBytes(), bytes);
}

TEST_F(AddressBookLoad, RecipientBeforeAnyGroupGetsTheGroupOfAllRecipients)
{
    loadBytes(Lines({"0", "Jana", "PC7", "G", "Obchod", "Obchod"}));

    EXPECT_EQ(tree(), std::vector<QByteArray>{kAll + ":"});
    EXPECT_TRUE(book.firstGroupExpanded());
    // Written behind the new first group, the records now find a group to go to.
    EXPECT_EQ(savedBytes(), Lines({"G", kAll, kAll, "0", "Jana", "PC7", "G", "Obchod", "Obchod"}));
    book.LoadAddressBook(m_path);
    EXPECT_EQ(tree(), (std::vector<QByteArray>{kAll + ": Jana", "Obchod:"}));
}

TEST_F(AddressBookLoad, ReloadReplacesTheTreeAndTheKeptLines)
{
    loadBytes(Lines({"G", kAll, kAll, "0", "Jana", "PC7", "Nikde", "Jana", "PC7"}));
    const QString other = m_dir.filePath(QStringLiteral("other.dat"));
    WriteFileBytes(other, Lines({"G", "Obchod", "Obchod"}));

    book.LoadAddressBook(other);

    EXPECT_EQ(tree(), std::vector<QByteArray>{"Obchod:"});
    EXPECT_EQ(savedBytes(), Lines({"G", "Obchod", "Obchod"}));
}

TEST_F(AddressBookLoad, UnreadableFileLeavesAllRecipientsAloneAndThrows)
{
    loadBytes(kExample);
    ASSERT_TRUE(QFile::remove(m_path));
    ASSERT_TRUE(QDir().mkdir(m_path));

    try {
        book.LoadAddressBook(m_path);
        FAIL() << "the load did not fail";
    } catch (const Error &error) {
        EXPECT_EQ(error.text(),
                  "Nelze p\xF8"
                  "e\xE8\xEDst soubor "
                          + m_path.toLatin1());
    }
    EXPECT_EQ(tree(), std::vector<QByteArray>{kAll + ":"});
    EXPECT_FALSE(book.firstGroupExpanded());
}

// --- Saving ---

TEST_F(AddressBookSave, RecipientOfAFreshBookGivesSixLines)
{
    book.LoadAddressBook(m_path);
    book.AddRecipientNode("Jana", "PC7");

    EXPECT_EQ(savedBytes(),
              QByteArray("G\r\nV\x9A"
                         "ichni\r\nV\x9A"
                         "ichni\r\n0\r\nJana\r\nPC7\r\n"));
}

TEST_F(AddressBookSave, ExampleIsWrittenBackByteForByte)
{
    loadBytes(kExample);

    EXPECT_EQ(savedBytes(), kExample);
    EXPECT_EQ(directoryEntries(), QStringList{AddressBook::defaultFileName()});
}

TEST_F(AddressBookSave, GroupsFirstThenMembersInTreeOrder)
{
    book.LoadAddressBook(m_path);
    book.AddRecipientNode("Jana", "PC7");
    book.AddGroupNode("Obchod");
    book.AddRecipientNode("Petr", "10.0.0.9");
    book.AddMemberNode("Obchod", "Petr", "ignored");
    book.AddGroupNode("Sklad");
    book.AddMemberNode("Sklad", "Jana", "ignored");
    book.AddMemberNode("Obchod", "Jana", "ignored");

    EXPECT_EQ(savedBytes(),
              Records({{"G", kAll, kAll},
                       {"G", "Obchod", "Obchod"},
                       {"G", "Sklad", "Sklad"},
                       {"0", "Jana", "PC7"},
                       {"0", "Petr", "10.0.0.9"},
                       {"Obchod", "Petr", "10.0.0.9"},
                       {"Obchod", "Jana", "PC7"},
                       {"Sklad", "Jana", "PC7"}}));
}

TEST_F(AddressBookSave, RenamedEntryIsWrittenUnderItsNewNameForEveryNode)
{
    loadBytes(kExample);
    book.memberEntry(1, 0)->Name = "Petr Nov\xE1k";

    EXPECT_EQ(book.memberText(0, 1), "Petr");
    EXPECT_EQ(savedBytes(),
              Records({{"G", kAll, kAll},
                       {"G", "Obchod", "Obchod"},
                       {"0", "Jana", "PC7"},
                       {"0", "Petr Nov\xE1k", "10.0.0.9"},
                       {"Obchod", "Petr Nov\xE1k", "10.0.0.9"}}));
    book.LoadAddressBook(m_path);
    EXPECT_EQ(tree(),
              (std::vector<QByteArray>{kAll + ": Jana, Petr Nov\xE1k", "Obchod: Petr Nov\xE1k"}));
    EXPECT_EQ(book.memberEntry(0, 1), book.memberEntry(1, 0));
}

TEST_F(AddressBookSave, UnreadableFileIsMovedAsideBeforeTheNextSave)
{
    ASSERT_TRUE(QDir().mkdir(m_path));
    WriteFileBytes(m_path + QStringLiteral("/inside"), "rescue me");
    EXPECT_THROW(book.LoadAddressBook(m_path), Error);
    book.AddRecipientNode("Jana", "PC7");

    EXPECT_EQ(savedBytes(), Lines({"G", kAll, kAll, "0", "Jana", "PC7"}));
    const QString backup = m_path + QStringLiteral(".bak");
    EXPECT_TRUE(QFileInfo(backup).isDir());
    EXPECT_EQ(FileBytes(backup + QStringLiteral("/inside")), "rescue me");

    // Moved once: the next save replaces the file it wrote itself and leaves the backup be.
    book.AddGroupNode("Obchod");
    book.SaveAddressBook(m_path);
    EXPECT_EQ(FileBytes(backup + QStringLiteral("/inside")), "rescue me");
    EXPECT_EQ(directoryEntries(),
              (QStringList{AddressBook::defaultFileName(), QStringLiteral("recpt.dat.bak")}));
}

TEST_F(AddressBookSave, EarlierRescuedCopiesAreKeptBesideTheNewOne)
{
    WriteFileBytes(m_path + QStringLiteral(".bak"), "first rescue");
    WriteFileBytes(m_path + QStringLiteral(".bak1"), "second rescue");
    ASSERT_TRUE(QDir().mkdir(m_path));
    WriteFileBytes(m_path + QStringLiteral("/inside"), "third rescue");
    EXPECT_THROW(book.LoadAddressBook(m_path), Error);

    book.SaveAddressBook(m_path);

    EXPECT_EQ(FileBytes(m_path + QStringLiteral(".bak")), "first rescue");
    EXPECT_EQ(FileBytes(m_path + QStringLiteral(".bak1")), "second rescue");
    EXPECT_EQ(FileBytes(m_path + QStringLiteral(".bak2/inside")), "third rescue");
    EXPECT_EQ(FileBytes(m_path), Lines({"G", kAll, kAll}));
}

TEST_F(AddressBookSave, UnreadableFileThatCannotBeMovedAsideIsNotWrittenOver)
{
    ASSERT_TRUE(QDir().mkdir(m_path));
    WriteFileBytes(m_path + QStringLiteral("/inside"), "rescue me");
    // Every name a rescued copy may take is held by an earlier one.
    WriteFileBytes(m_path + QStringLiteral(".bak"), "older backup");
    for (int number = 1; number <= AddressBook::kMostBackups; ++number)
        WriteFileBytes(m_path + QStringLiteral(".bak") + QString::number(number), "older");
    EXPECT_THROW(book.LoadAddressBook(m_path), Error);

    EXPECT_THROW(book.SaveAddressBook(m_path), Error);
    EXPECT_TRUE(QFileInfo(m_path).isDir());
    EXPECT_EQ(FileBytes(m_path + QStringLiteral("/inside")), "rescue me");
    EXPECT_EQ(FileBytes(m_path + QStringLiteral(".bak")), "older backup");
}

TEST_F(AddressBookSave, SavingElsewhereMovesNothingAside)
{
    ASSERT_TRUE(QDir().mkdir(m_path));
    EXPECT_THROW(book.LoadAddressBook(m_path), Error);
    const QString other = m_dir.filePath(QStringLiteral("other.dat"));
    WriteFileBytes(other, "old");

    book.SaveAddressBook(other);

    EXPECT_EQ(FileBytes(other), Lines({"G", kAll, kAll}));
    EXPECT_TRUE(QFileInfo(m_path).isDir());
    EXPECT_FALSE(QFileInfo::exists(other + QStringLiteral(".bak")));
    // The unreadable file itself is still protected.
    book.SaveAddressBook(m_path);
    EXPECT_TRUE(QFileInfo(m_path + QStringLiteral(".bak")).isDir());
}

TEST_F(AddressBookSave, ParentThatIsARegularFileIsRefused)
{
    const QString parent = m_dir.filePath(QStringLiteral("data"));
    WriteFileBytes(parent, kExample);
    const QString path = parent + QStringLiteral("/recpt.dat");
    book.LoadAddressBook(path);

    try {
        book.SaveAddressBook(path);
        FAIL() << "the save was not refused";
    } catch (const Error &error) {
        EXPECT_EQ(error.text(), "Nelze zapsat soubor " + path.toLatin1());
    }
    EXPECT_EQ(FileBytes(parent), kExample);
}

TEST_F(AddressBookSave, DirectoryInPlaceOfTheFileIsRefused)
{
    book.LoadAddressBook(m_path);
    ASSERT_TRUE(QDir().mkdir(m_path));
    WriteFileBytes(m_path + QStringLiteral("/inside"), "kept");

    EXPECT_THROW(book.SaveAddressBook(m_path), Error);
    EXPECT_EQ(FileBytes(m_path + QStringLiteral("/inside")), "kept");
    EXPECT_EQ(directoryEntries(), QStringList{AddressBook::defaultFileName()});
}

TEST_F(AddressBookSave, FullDiskLeavesTheOldFileWhole)
{
    loadBytes(kExample);
    book.AddRecipientNode("Karel z druh\xE9ho patra", "PC12");

    bool refused = false;
    {
        const FileSizeLimit limit(kExample.size());
        ASSERT_TRUE(limit.active());
        try {
            book.SaveAddressBook(m_path);
        } catch (const Error &) {
            refused = true;
        }
    }

    EXPECT_TRUE(refused);
    EXPECT_EQ(FileBytes(m_path), kExample);
    EXPECT_EQ(directoryEntries(), QStringList{AddressBook::defaultFileName()});
}

// --- The tree ---

TEST_F(AddressBookTree, RecipientWithoutAnyGroupIsRefused)
{
    EXPECT_THROW(book.AddRecipientNode("Jana", "PC7"), Error);
    EXPECT_EQ(book.groupCount(), 0);
}

TEST_F(AddressBookTree, NewGroupsGoLastAndRecipientsIntoTheFirst)
{
    book.AddGroupNode("Prvni");
    book.AddGroupNode("Druha");
    book.AddRecipientNode("Jana", "PC7");

    EXPECT_EQ(tree(), (std::vector<QByteArray>{"Prvni: Jana", "Druha:"}));
}

TEST_F(AddressBookTree, FindsTheFirstNodeInTreeOrder)
{
    loadBytes(kExample);

    EXPECT_EQ(book.FindNodeByText(kAll), 0);
    EXPECT_EQ(book.FindNodeByText("Jana"), 1);
    EXPECT_EQ(book.FindNodeByText("Petr"), 2);
    EXPECT_EQ(book.FindNodeByText("Obchod"), 3);
    EXPECT_EQ(book.FindNodeByText("petr"), -1);
    EXPECT_EQ(book.FindNodeByText(""), -1);
}

TEST_F(AddressBookTree, FindsRecipientsByTheirNodeTextInTheFirstGroupOnly)
{
    loadBytes(Lines({"G", kAll, kAll, "G", "Obchod", "Obchod", "0", "Jana", "PC7"}));
    book.memberEntry(0, 0)->Name = "Janka";

    EXPECT_EQ(book.FindRecipientByName("Jana"), book.memberEntry(0, 0));
    EXPECT_EQ(book.FindRecipientByName("Janka"), nullptr);
    EXPECT_EQ(book.FindRecipientByName("jana"), nullptr);
    EXPECT_EQ(book.FindRecipientByName("Obchod"), nullptr);
}

TEST_F(AddressBookTree, MemberOfAnUnknownRecipientChangesNothing)
{
    loadBytes(kExample);

    book.AddMemberNode("Obchod", "Karel", "PC9");
    book.AddMemberNode("Nikde", "Karel", "PC9");

    EXPECT_EQ(tree(), (std::vector<QByteArray>{kAll + ": Jana, Petr", "Obchod: Petr"}));
}

TEST_F(AddressBookTree, MemberNeedsANodeThatIsAGroup)
{
    loadBytes(kExample);
    // "Petr" names a recipient node before any group of that name.
    book.AddGroupNode("Petr");

    EXPECT_THROW(book.AddMemberNode("Nikde", "Jana", ""), Error);
    EXPECT_THROW(book.AddMemberNode("Petr", "Jana", ""), Error);
    EXPECT_EQ(tree(), (std::vector<QByteArray>{kAll + ": Jana, Petr", "Obchod: Petr", "Petr:"}));
}

TEST_F(AddressBookTree, MemberGoesToTheLaterOfTwoGroups)
{
    loadBytes(kExample);
    book.AddGroupNode("Sklad");

    book.AddMemberNode("Sklad", "Jana", "");

    EXPECT_EQ(tree(),
              (std::vector<QByteArray>{kAll + ": Jana, Petr", "Obchod: Petr", "Sklad: Jana"}));
}

TEST_F(AddressBookTree, NodesOfOnePartnerShareOneEntryReleasedWithTheLastNode)
{
    loadBytes(kExample);
    const std::weak_ptr<TRecipient> petr = book.memberEntry(0, 1);

    ASSERT_EQ(book.memberEntry(1, 0), petr.lock());
    EXPECT_EQ(petr.use_count(), 2);
    EXPECT_NE(book.memberEntry(0, 0), petr.lock());

    book.memberEntry(1, 0)->Host = "PC8";
    EXPECT_EQ(book.memberEntry(0, 1)->Host, "PC8");

    book.LoadAddressBook(m_dir.filePath(QStringLiteral("missing.dat")));
    EXPECT_TRUE(petr.expired());
}

TEST_F(AddressBookTree, ReadingAMissingNodeThrows)
{
    book.LoadAddressBook(m_path);

    EXPECT_THROW(book.groupText(1), Error);
    EXPECT_THROW(book.memberText(0, 0), Error);
    EXPECT_THROW(book.memberEntry(-1, 0), Error);
}

// --- The model ---

TEST_F(AddressBookModel, ShowsGroupsAndTheirMembers)
{
    loadBytes(kExample);

    ASSERT_EQ(book.rowCount(), 2);
    EXPECT_EQ(book.columnCount(), 1);
    const QModelIndex all = book.index(0, 0);
    const QModelIndex shop = book.index(1, 0);
    EXPECT_EQ(all, book.groupIndex(0));
    EXPECT_EQ(book.rowCount(all), 2);
    EXPECT_EQ(book.rowCount(shop), 1);
    EXPECT_FALSE(book.parent(all).isValid());
    EXPECT_FALSE(book.index(2, 0).isValid());
    EXPECT_FALSE(book.index(0, 1).isValid());

    const QModelIndex petr = book.index(0, 0, shop);
    EXPECT_EQ(petr, book.memberIndex(1, 0));
    EXPECT_EQ(book.parent(petr), shop);
    EXPECT_EQ(book.rowCount(petr), 0);
    EXPECT_FALSE(book.index(1, 0, shop).isValid());
    EXPECT_FALSE(book.index(0, 0, petr).isValid());

    EXPECT_EQ(book.data(all).toString(), QStringLiteral("V\u0161ichni"));
    EXPECT_EQ(book.data(all, AddressBook::TextRole).toByteArray(), kAll);
    EXPECT_EQ(book.data(all, AddressBook::ImageIndexRole).toInt(), AddressBook::kGroupImage);
    EXPECT_EQ(book.data(petr).toString(), QStringLiteral("Petr"));
    EXPECT_EQ(book.data(petr, AddressBook::ImageIndexRole).toInt(), AddressBook::kRecipientImage);
    EXPECT_EQ(book.flags(petr), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    EXPECT_EQ(book.flags(all), Qt::ItemIsSelectable | Qt::ItemIsEnabled);
    EXPECT_FALSE(book.data({}).isValid());
}

TEST_F(AddressBookModel, PositionOfEachNode)
{
    loadBytes(kExample);

    EXPECT_EQ(book.position(book.groupIndex(1)), std::make_pair(1, -1));
    EXPECT_EQ(book.position(book.memberIndex(0, 1)), std::make_pair(0, 1));
    EXPECT_EQ(book.position(book.memberIndex(1, 0)), std::make_pair(1, 0));
    EXPECT_EQ(book.position({}), std::make_pair(-1, -1));
    AddressBook other;
    other.LoadAddressBook(m_path);
    EXPECT_EQ(book.position(other.groupIndex(0)), std::make_pair(-1, -1));
}

TEST_F(AddressBookModel, DisplayTextIsDecodedFromTheCodePage)
{
    book.LoadAddressBook(m_path);
    book.AddRecipientNode("P\xF8"
                          "emysl",
                          "PC3");

    EXPECT_EQ(book.data(book.memberIndex(0, 0)).toString(), QStringLiteral("P\u0159emysl"));
    EXPECT_EQ(book.data(book.memberIndex(0, 0), AddressBook::TextRole).toByteArray(),
              "P\xF8"
              "emysl");
}

TEST_F(AddressBookModel, AnnouncesEveryNewNode)
{
    book.LoadAddressBook(m_path);
    // parent group (-1 for the top level), first, last, and the row count seen at that moment
    std::vector<std::tuple<int, int, int, int>> inserted;
    QObject::connect(&book,
                     &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex &parent, int first, int last) {
                         inserted.emplace_back(
                                 book.position(parent).first, first, last, book.rowCount(parent));
                     });

    book.AddRecipientNode("Jana", "PC7");
    book.AddGroupNode("Obchod");
    book.AddMemberNode("Obchod", "Jana", "");
    book.AddMemberNode("Obchod", "Karel", "");
    book.AddRecipientNode("Petr", "10.0.0.9");

    EXPECT_EQ(inserted,
              (std::vector<std::tuple<int, int, int, int>>{
                      {0, 0, 0, 1}, {-1, 1, 1, 2}, {1, 0, 0, 1}, {0, 1, 1, 2}}));
}

TEST_F(AddressBookModel, LoadIsOneReset)
{
    int aboutToReset = 0;
    int reset = 0;
    int inserted = 0;
    int groupsAtReset = -1;
    QObject::connect(&book, &QAbstractItemModel::modelAboutToBeReset, [&] { ++aboutToReset; });
    QObject::connect(&book, &QAbstractItemModel::modelReset, [&] {
        ++reset;
        groupsAtReset = book.rowCount();
    });
    QObject::connect(&book, &QAbstractItemModel::rowsInserted, [&] { ++inserted; });

    loadBytes(kExample);

    EXPECT_EQ(aboutToReset, 1);
    EXPECT_EQ(reset, 1);
    EXPECT_EQ(groupsAtReset, 2);
    EXPECT_EQ(inserted, 0);

    ASSERT_TRUE(QFile::remove(m_path));
    ASSERT_TRUE(QDir().mkdir(m_path));
    EXPECT_THROW(book.LoadAddressBook(m_path), Error);
    EXPECT_EQ(reset, 2);
    EXPECT_EQ(groupsAtReset, 1);
    EXPECT_EQ(book.rowCount(book.groupIndex(0)), 0);
}
