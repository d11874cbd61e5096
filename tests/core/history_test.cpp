#include "core/history.h"

#include "support/printers.h"
#include "support/recordingboxes.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <vector>

namespace {

const QByteArray kNew("Nov\xE1");
const QByteArray kSent("Odeslan\xE1");
const QByteArray kRead("P\xF8"
                       "e\xE8ten\xE1");

class HistoryTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        OpenHistory(in, boxes);
        OpenHistory(out, boxes);
    }

    // Appends count messages numbered from 1 in their texts; the bound keeps them all.
    void fill(HistoryTable &table, int count, qint32 maxRecs = 1024)
    {
        for (int i = 1; i <= count; ++i)
            AppendMessage(table, "Jan <PC1>", "zprava " + QByteArray::number(i), maxRecs, boxes);
    }

    std::vector<qint32> ids(const HistoryTable &table)
    {
        std::vector<qint32> result;
        for (int i = 0; i < table.count(); ++i)
            result.push_back(table.row(i).ID);
        return result;
    }

    int indexOf(const HistoryTable &table, qint32 id)
    {
        for (int i = 0; i < table.count(); ++i) {
            if (table.row(i).ID == id)
                return i;
        }
        return -1;
    }

    RecordingBoxes boxes;
    HistoryTable in{"tIn", HistoryKind::Received};
    HistoryTable out{"tOut", HistoryKind::Sent};
};

// --- IDs and the bound ---

TEST_F(HistoryTest, FirstAppendToEachTableGivesOne)
{
    EXPECT_EQ(AppendMessage(in, "Jan <PC1>", "ahoj", 32, boxes), 1);
    EXPECT_EQ(AppendMessage(out, "Eva <PC2>", "nazdar", 32, boxes), 1);
    EXPECT_EQ(AppendMessage(in, "Jan <PC1>", "znovu", 32, boxes), 2);
    EXPECT_TRUE(boxes.errors.empty());
}

TEST_F(HistoryTest, IdsOfDeletedRowsAreNotReused)
{
    fill(in, 5);
    ASSERT_EQ(in.row(0).ID, 5);
    in.moveCursor(0);
    DeleteCurrent(in, boxes);
    ASSERT_EQ(ids(in), (std::vector<qint32>{4, 3, 2, 1}));
    EXPECT_EQ(AppendMessage(in, "Jan <PC1>", "dalsi", 32, boxes), 6);
    EXPECT_TRUE(boxes.errors.empty());
}

TEST_F(HistoryTest, AppendAtTheBoundDropsTheLowestId)
{
    fill(out, 32, 32);
    ASSERT_EQ(out.count(), 32);
    const qint32 id = AppendMessage(out, "Jan <PC1>", "navic", 32, boxes);
    EXPECT_EQ(id, 33);
    EXPECT_EQ(out.count(), 32);
    EXPECT_EQ(indexOf(out, 1), -1);
    EXPECT_EQ(out.row(31).ID, 2);
    EXPECT_EQ(out.row(0).ID, 33);
    EXPECT_EQ(out.row(0).MSG, QByteArray("navic"));
    EXPECT_EQ(out.cursor(), 0);
    EXPECT_TRUE(boxes.errors.empty());
}

TEST_F(HistoryTest, TheReceivedBoundDropsReadRowsFirstAndKeepsUpToAThousandUnread)
{
    fill(in, 4, 3); // nobody has read them: all stay past the bound
    EXPECT_EQ(ids(in), (std::vector<qint32>{4, 3, 2, 1}));
    in.moveCursor(indexOf(in, 3));
    MarkRead(in, boxes);
    int dropped = 0;
    AppendMessage(in, "Jan <PC1>", "pata", 3, boxes, &dropped);
    EXPECT_EQ(ids(in), (std::vector<qint32>{5, 4, 2, 1}));
    EXPECT_EQ(dropped, 0);

    // Beyond the unread kept in view the oldest unread go too, and are counted.
    for (int i = 0; i < kUnreadKeptInView - 2; ++i)
        AppendMessage(in, "Jan <PC1>", "dalsi", 3, boxes, &dropped);
    EXPECT_EQ(in.count(), kUnreadKeptInView);
    EXPECT_EQ(dropped, 2);
    EXPECT_EQ(indexOf(in, 1), -1);
    EXPECT_EQ(indexOf(in, 2), -1);
    EXPECT_EQ(in.row(0).ID, kUnreadKeptInView + 3);
    EXPECT_TRUE(boxes.errors.empty());
}

TEST_F(HistoryTest, ABoundOfZeroOrLessKeepsNothingButStillNumbers)
{
    for (const qint32 maxRecs : {0, -1}) {
        SCOPED_TRACE(maxRecs);
        CloseHistory(out, boxes);
        OpenHistory(out, boxes);
        qint32 previous = 0;
        for (int i = 0; i < 3; ++i) {
            const qint32 id = AppendMessage(out, "Jan <PC1>", "pryc", maxRecs, boxes);
            EXPECT_EQ(id, previous + 1);
            previous = id;
            EXPECT_EQ(out.count(), 0);
            EXPECT_EQ(out.cursor(), -1);
        }
    }
    EXPECT_TRUE(boxes.errors.empty());
}

TEST_F(HistoryTest, ReopeningEmptiesTheTableAndNumbersFromOne)
{
    fill(in, 3);
    CloseHistory(in, boxes);
    EXPECT_FALSE(in.isOpen());
    OpenHistory(in, boxes);
    EXPECT_EQ(in.count(), 0);
    EXPECT_EQ(in.cursor(), -1);
    EXPECT_EQ(in.order(), HistoryTable::Order::DatumDescending);
    EXPECT_EQ(AppendMessage(in, "Jan <PC1>", "znovu", 32, boxes), 1);
    EXPECT_TRUE(boxes.errors.empty());
}

// --- what a new row holds ---

TEST_F(HistoryTest, NewRowHoldsPartnerTextTimeAndStateNew)
{
    const QDateTime before = QDateTime::currentDateTime();
    AppendMessage(out,
                  "Eva <PC2>",
                  "P\xF8"
                  "ijdu",
                  32,
                  boxes);
    const QDateTime after = QDateTime::currentDateTime();
    const HistoryRow &row = out.row(0);
    EXPECT_EQ(row.FLAG, HistoryFlag::New);
    EXPECT_EQ(row.lFLAG, kNew);
    EXPECT_EQ(row.FROM, QByteArray("Eva <PC2>"));
    EXPECT_EQ(row.MSG,
              QByteArray("P\xF8"
                         "ijdu"));
    EXPECT_EQ(row.DATUM.timeSpec(), Qt::LocalTime);
    EXPECT_LE(before, row.DATUM);
    EXPECT_LE(row.DATUM, after);
    EXPECT_EQ(out.order(), HistoryTable::Order::IdDescending);
}

TEST_F(HistoryTest, LongTextsAreCutToTheFieldSizes)
{
    const QByteArray message(450, 'm');
    const QByteArray partner = QByteArray(70, 'p');
    AppendMessage(in, partner, message, 32, boxes);
    EXPECT_EQ(in.row(0).MSG, message.left(400));
    EXPECT_EQ(in.row(0).FROM, partner.left(64));

    AppendMessage(in, "Jan", QByteArray(400, 'x'), 32, boxes);
    EXPECT_EQ(in.row(0).MSG.size(), 400);
}

TEST(HistoryFlagLabels, EachCodeHasItsLabelAndOthersNone)
{
    EXPECT_EQ(HistoryFlagLabel(0), kNew);
    EXPECT_EQ(HistoryFlagLabel(1), kSent);
    EXPECT_EQ(HistoryFlagLabel(2), QByteArray("OK"));
    EXPECT_EQ(HistoryFlagLabel(4), QByteArray("Chyba!"));
    EXPECT_EQ(HistoryFlagLabel(8), kRead);
    for (const qint32 code : {-1, 3, 5, 16})
        EXPECT_EQ(HistoryFlagLabel(code), std::nullopt) << code;
}

// --- states by key ---

TEST_F(HistoryTest, KeyChangesOnlyTheRowOfItsId)
{
    fill(out, 15);
    SetFlagByKey("ABC~12", out, HistoryFlag::Sent, boxes);
    EXPECT_TRUE(boxes.errors.empty());
    for (int i = 0; i < out.count(); ++i) {
        const HistoryRow &row = out.row(i);
        SCOPED_TRACE(row.ID);
        EXPECT_EQ(row.FLAG, row.ID == 12 ? HistoryFlag::Sent : HistoryFlag::New);
        EXPECT_EQ(row.lFLAG, row.ID == 12 ? kSent : kNew);
    }
    EXPECT_EQ(out.currentRow().ID, 12);
}

TEST_F(HistoryTest, KeyCutsAtTheFirstTildeOnlyAndMayHaveNone)
{
    fill(out, 5);
    SetFlagByKey("4", out, HistoryFlag::Ok, boxes);
    EXPECT_EQ(out.row(indexOf(out, 4)).lFLAG, QByteArray("OK"));

    SetFlagByKey("x~y~2", out, HistoryFlag::Ok, boxes);
    ASSERT_EQ(boxes.errors.size(), 1u);
    EXPECT_EQ(boxes.errors[0], QByteArray("'y~2' is not a valid integer value"));
    EXPECT_EQ(out.row(indexOf(out, 2)).FLAG, HistoryFlag::New);
}

TEST_F(HistoryTest, CodeWithoutLabelKeepsTheLabel)
{
    fill(out, 3);
    SetFlagByKey("PC1~2", out, 3, boxes);
    const HistoryRow &row = out.row(indexOf(out, 2));
    EXPECT_EQ(row.FLAG, 3);
    EXPECT_EQ(row.lFLAG, kNew);

    SetFlagByKey("PC1~2", out, HistoryFlag::Failed, boxes);
    EXPECT_EQ(out.row(indexOf(out, 2)).lFLAG, QByteArray("Chyba!"));
    // The previous state plays no part: a failed message can still be confirmed.
    SetFlagByKey("PC1~2", out, HistoryFlag::Ok, boxes);
    EXPECT_EQ(out.row(indexOf(out, 2)).FLAG, HistoryFlag::Ok);
    EXPECT_TRUE(boxes.errors.empty());
}

TEST_F(HistoryTest, UnknownIdChangesNothingAndLeavesTheLastRowCurrent)
{
    fill(out, 4);
    ASSERT_EQ(out.cursor(), 0);
    SetFlagByKey("PC1~99", out, HistoryFlag::Ok, boxes);
    EXPECT_TRUE(boxes.errors.empty());
    EXPECT_EQ(out.cursor(), 3);
    for (int i = 0; i < out.count(); ++i) {
        EXPECT_EQ(out.row(i).FLAG, HistoryFlag::New);
        EXPECT_EQ(out.row(i).lFLAG, kNew);
    }
}

TEST_F(HistoryTest, KeyWithoutNumberShowsOneBoxAndChangesNothing)
{
    fill(out, 3);
    out.moveCursor(1);
    SetFlagByKey("PC1~abc", out, HistoryFlag::Ok, boxes);
    ASSERT_EQ(boxes.errors.size(), 1u);
    EXPECT_EQ(boxes.errors[0], QByteArray("'abc' is not a valid integer value"));
    EXPECT_EQ(out.cursor(), 1);
    for (int i = 0; i < out.count(); ++i)
        EXPECT_EQ(out.row(i).FLAG, HistoryFlag::New);

    SetFlagByKey("PC1~", out, HistoryFlag::Ok, boxes);
    EXPECT_EQ(boxes.errors.size(), 2u);
}

// --- the current row ---

TEST_F(HistoryTest, MarkReadTurnsOnlyANewCurrentRowRead)
{
    MarkRead(in, boxes);
    EXPECT_EQ(in.count(), 0);

    fill(in, 2);
    in.moveCursor(1);
    MarkRead(in, boxes);
    EXPECT_EQ(in.row(1).FLAG, HistoryFlag::Read);
    EXPECT_EQ(in.row(1).lFLAG, kRead);
    EXPECT_EQ(in.row(0).FLAG, HistoryFlag::New);

    SetFlagByKey("2", in, HistoryFlag::Ok, boxes);
    ASSERT_EQ(in.cursor(), 0);
    MarkRead(in, boxes);
    EXPECT_EQ(in.row(0).FLAG, HistoryFlag::Ok);
    EXPECT_EQ(in.row(0).lFLAG, QByteArray("OK"));
    EXPECT_EQ(in.count(), 2);
    EXPECT_TRUE(boxes.errors.empty());
}

TEST_F(HistoryTest, DeleteMovesTheCursorToTheFollowingRow)
{
    fill(in, 4); // IDs 4 3 2 1
    in.moveCursor(1);
    DeleteCurrent(in, boxes);
    EXPECT_EQ(ids(in), (std::vector<qint32>{4, 2, 1}));
    EXPECT_EQ(in.cursor(), 1);
    EXPECT_EQ(in.currentRow().ID, 2);

    in.moveCursor(2);
    DeleteCurrent(in, boxes);
    EXPECT_EQ(ids(in), (std::vector<qint32>{4, 2}));
    EXPECT_EQ(in.cursor(), 1);

    DeleteCurrent(in, boxes);
    DeleteCurrent(in, boxes);
    EXPECT_EQ(in.count(), 0);
    EXPECT_EQ(in.cursor(), -1);
    EXPECT_TRUE(boxes.errors.empty());

    DeleteCurrent(in, boxes);
    EXPECT_EQ(boxes.errors.size(), 1u);
}

TEST_F(HistoryTest, ReadFieldGivesTheCurrentRowsFieldsByName)
{
    EXPECT_EQ(ReadField(in, "MSG", boxes), QByteArray());
    EXPECT_TRUE(boxes.errors.empty());

    AppendMessage(in, "Jan <PC1>", "prvni", 32, boxes);
    AppendMessage(in, "Eva <PC2>", "druha", 32, boxes);
    in.moveCursor(1);
    EXPECT_EQ(ReadField(in, "MSG", boxes), QByteArray("prvni"));
    EXPECT_EQ(ReadField(in, "from", boxes), QByteArray("Jan <PC1>"));
    EXPECT_EQ(ReadField(in, "ID", boxes), QByteArray("1"));
    EXPECT_EQ(ReadField(in, "FLAG", boxes), QByteArray("0"));
    EXPECT_EQ(ReadField(in, "LFLAG", boxes), kNew);
    EXPECT_EQ(ReadField(in, "DATUM", boxes),
              in.row(1).DATUM.toString(QStringLiteral("d.M.yyyy H:mm:ss")).toLatin1());
    EXPECT_TRUE(boxes.errors.empty());

    EXPECT_EQ(ReadField(in, "TEXT", boxes), QByteArray());
    ASSERT_EQ(boxes.errors.size(), 1u);
    EXPECT_EQ(boxes.errors[0], QByteArray("Field 'TEXT' not found."));
}

// --- a closed table ---

TEST_F(HistoryTest, OperationsOnAClosedTableShowABoxAndLeaveItClosed)
{
    CloseHistory(in, boxes);
    ASSERT_TRUE(boxes.errors.empty());

    EXPECT_EQ(AppendMessage(in, "Jan <PC1>", "nic", 32, boxes), 0);
    SetFlagByKey("PC1~1", in, HistoryFlag::Ok, boxes);
    MarkRead(in, boxes);
    DeleteCurrent(in, boxes);
    EXPECT_EQ(ReadField(in, "MSG", boxes), QByteArray());
    RefreshHistory(in);
    CloseHistory(in, boxes);

    ASSERT_EQ(boxes.errors.size(), 5u);
    for (const QByteArray &text : boxes.errors)
        EXPECT_EQ(text, QByteArray("Table is not open."));
    EXPECT_FALSE(in.isOpen());
    EXPECT_EQ(in.rowCount(), 0);
    EXPECT_EQ(in.cursor(), -1);
}

TEST_F(HistoryTest, OpeningAnOpenTableKeepsItsRowsButRestoresTheDateOrder)
{
    fill(in, 2);
    ASSERT_EQ(in.order(), HistoryTable::Order::IdDescending);
    OpenHistory(in, boxes);
    EXPECT_EQ(in.count(), 2);
    EXPECT_EQ(in.order(), HistoryTable::Order::DatumDescending);
}

// --- partner texts and file names ---

TEST(SplitAddressTest, SplitsNameAndAddress)
{
    using NameAndHost = std::pair<QByteArray, QByteArray>;
    EXPECT_EQ(SplitAddress("Jan <10.0.0.7>"), NameAndHost("Jan", "10.0.0.7"));
    EXPECT_EQ(SplitAddress("<10.0.0.7>"), NameAndHost("<10.0.0.7>", "10.0.0.7"));
    EXPECT_EQ(SplitAddress("Jan"), NameAndHost("Jan", "Jan"));
    EXPECT_EQ(SplitAddress("  Jan Nov\xE1k\t<PC1> \r\n"), NameAndHost("Jan Nov\xE1k", "PC1"));
    EXPECT_EQ(SplitAddress("J<PC1>"), NameAndHost("J", "PC1"));
    // Control bytes count as blanks too.
    EXPECT_EQ(SplitAddress("\x01Jan <PC1>\x1F"), NameAndHost("Jan", "PC1"));
    EXPECT_EQ(SplitAddress("Jan <PC<1>>"), NameAndHost("Jan", "PC1>"));
    EXPECT_EQ(SplitAddress(""), NameAndHost("", ""));
}

class WorkingDirectory
{
public:
    explicit WorkingDirectory(const QString &path)
        : m_previous(QDir::currentPath())
    {
        QDir::setCurrent(path);
    }
    ~WorkingDirectory() { QDir::setCurrent(m_previous); }

private:
    QString m_previous;
};

TEST(HistoryFileNameTest, WithoutApplicationUsesTheWorkingDirectory)
{
    ASSERT_EQ(QCoreApplication::instance(), nullptr);
    QTemporaryDir temporary;
    ASSERT_TRUE(temporary.isValid());
    ASSERT_TRUE(QDir(temporary.path()).mkdir(QStringLiteral("Zpravy")));
    const QString directory = QDir(temporary.path()).filePath(QStringLiteral("Zpravy"));
    WorkingDirectory cwd(directory);

    const HistoryTable in("tIn", HistoryKind::Received);
    const HistoryTable out("tOut", HistoryKind::Sent);
    // Only the table's name is lower-cased: the directory is a real, case-sensitive path.
    EXPECT_EQ(HistoryFileName(in), QDir::currentPath() + QStringLiteral("/tin.dat"));
    EXPECT_EQ(HistoryFileName(out), QDir::currentPath() + QStringLiteral("/tout.dat"));
    EXPECT_TRUE(HistoryFileName(in).contains(QStringLiteral("/Zpravy/")));
}

TEST(HistoryFileNameTest, RootDirectoryGivesNoDoubledSlash)
{
    WorkingDirectory cwd(QStringLiteral("/"));
    EXPECT_EQ(HistoryFileName(HistoryTable("tIn", HistoryKind::Received)),
              QStringLiteral("/tin.dat"));
}

TEST(HistoryFileNameTest, WithApplicationUsesTheProgramsDirectory)
{
    int argc = 1;
    char name[] = "history_tests";
    char *argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    const QString programDirectory
            = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath().section(u'/', 0, -2);
    EXPECT_EQ(HistoryFileName(HistoryTable("tOut", HistoryKind::Sent)),
              programDirectory + QStringLiteral("/tout.dat"));
}

// --- the model ---

TEST_F(HistoryTest, ModelShowsHeadingsOfItsKind)
{
    const auto heading = [](const HistoryTable &table, int column) {
        return table.headerData(column, Qt::Horizontal, Qt::DisplayRole).toString();
    };
    EXPECT_EQ(in.columnCount(), 6);
    const QStringList common = {QStringLiteral("ID"),
                                QStringLiteral("Flag"),
                                QStringLiteral("Datum"),
                                QString(),
                                QStringLiteral("Zpráva"),
                                QStringLiteral("Stav")};
    for (int column : {0, 1, 2, 4, 5}) {
        EXPECT_EQ(heading(in, column), common[column]);
        EXPECT_EQ(heading(out, column), common[column]);
    }
    EXPECT_EQ(heading(in, HistoryTable::ColumnFROM), QStringLiteral("Odesílatel"));
    EXPECT_EQ(heading(out, HistoryTable::ColumnFROM), QStringLiteral("Příjemce"));
}

TEST_F(HistoryTest, ModelShowsRowsNewestFirstAndDecoded)
{
    AppendMessage(in, "Jan <PC1>", "prvni", 32, boxes);
    AppendMessage(in, "Ji\xF8\xED <PC2>", "druh\xE1", 32, boxes);
    SetFlagByKey("1", in, HistoryFlag::Read, boxes);
    ASSERT_EQ(in.rowCount(), 2);

    const auto cell = [&](int row, int column) {
        return in.data(in.index(row, column));
    };
    EXPECT_EQ(cell(0, HistoryTable::ColumnID).toInt(), 2);
    EXPECT_EQ(cell(1, HistoryTable::ColumnID).toInt(), 1);
    EXPECT_EQ(cell(0, HistoryTable::ColumnFROM).toString(), QStringLiteral("Jiří <PC2>"));
    EXPECT_EQ(cell(0, HistoryTable::ColumnMSG).toString(), QStringLiteral("druhá"));
    EXPECT_EQ(cell(0, HistoryTable::ColumnLFLAG).toString(), QStringLiteral("Nová"));
    EXPECT_EQ(cell(1, HistoryTable::ColumnLFLAG).toString(), QStringLiteral("Přečtená"));
    EXPECT_EQ(cell(1, HistoryTable::ColumnFLAG).toInt(), 8);
    EXPECT_EQ(cell(1, HistoryTable::ColumnDATUM).toString(),
              in.row(1).DATUM.toString(QStringLiteral("d.M.yyyy H:mm:ss")));
    EXPECT_FALSE(in.data(in.index(0, 0), Qt::EditRole).isValid());
}

TEST_F(HistoryTest, DateOrderPutsTheLatestFirstWhateverTheId)
{
    const QDateTime noon(QDate(2024, 3, 1), QTime(12, 0));
    in.append("A", "poledne", noon);
    in.append("B", "rano", noon.addSecs(-3600));
    in.append("C", "vecer", noon.addSecs(3600));
    EXPECT_EQ(ids(in), (std::vector<qint32>{3, 1, 2}));
    EXPECT_EQ(in.currentRow().ID, 3);

    int resets = 0;
    QObject::connect(&in, &QAbstractItemModel::modelReset, [&] { ++resets; });
    in.moveCursor(1);
    in.setOrder(HistoryTable::Order::IdDescending);
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(ids(in), (std::vector<qint32>{3, 2, 1}));
    // The current row stays current under the new order.
    EXPECT_EQ(in.currentRow().ID, 1);
    in.setOrder(HistoryTable::Order::IdDescending);
    EXPECT_EQ(resets, 1);
}

TEST_F(HistoryTest, TrimAtTheBoundRemovesBeforeItInserts)
{
    fill(out, 3, 3);
    std::vector<QByteArray> events;
    const auto removed = [&](const QModelIndex &, int first, int last) {
        events.push_back("removed " + QByteArray::number(first) + "-" + QByteArray::number(last));
        EXPECT_EQ(out.rowCount(), out.count());
    };
    QObject::connect(&out, &QAbstractItemModel::rowsRemoved, removed);
    QObject::connect(&out, &QAbstractItemModel::rowsInserted, [&](const QModelIndex &, int a, int) {
        events.push_back("inserted " + QByteArray::number(a));
        EXPECT_EQ(out.rowCount(), out.count());
        EXPECT_LE(out.rowCount(), 3);
        EXPECT_EQ(out.row(a).ID, 4);
        EXPECT_EQ(out.cursor(), a);
    });
    QObject::connect(&out, &HistoryTable::cursorMoved, [&](int row) {
        events.push_back("cursor " + QByteArray::number(row));
        EXPECT_LT(row, out.rowCount());
    });

    EXPECT_EQ(AppendMessage(out, "Jan <PC1>", "ctvrta", 3, boxes), 4);
    ASSERT_GE(events.size(), 2u);
    EXPECT_EQ(events[0], QByteArray("removed 2-2"));
    EXPECT_EQ(events[1], QByteArray("inserted 0"));
    EXPECT_EQ(events.back(), QByteArray("cursor 0"));
    EXPECT_EQ(ids(out), (std::vector<qint32>{4, 3, 2}));
}

TEST_F(HistoryTest, StateChangeAnnouncesItsRowAndMovesTheCursor)
{
    fill(out, 3); // IDs 3 2 1
    std::vector<std::pair<int, int>> changed;
    std::vector<int> moves;
    QObject::connect(&out,
                     &QAbstractItemModel::dataChanged,
                     [&](const QModelIndex &from, const QModelIndex &to) {
                         EXPECT_EQ(from.row(), to.row());
                         EXPECT_LE(from.column(), HistoryTable::ColumnFLAG);
                         EXPECT_GE(to.column(), HistoryTable::ColumnLFLAG);
                         changed.emplace_back(from.row(), to.row());
                     });
    QObject::connect(&out, &HistoryTable::cursorMoved, [&](int row) { moves.push_back(row); });

    SetFlagByKey("PC1~2", out, HistoryFlag::Ok, boxes);
    ASSERT_EQ(changed.size(), 1u);
    EXPECT_EQ(changed[0].first, 1);
    EXPECT_EQ(moves, std::vector<int>{1});

    MarkRead(out, boxes); // already OK: nothing to announce
    EXPECT_EQ(changed.size(), 1u);

    RefreshHistory(out);
    EXPECT_EQ(moves, (std::vector<int>{1, 1}));
}

TEST_F(HistoryTest, DeletionAndClosingAnnounceRowsAndCursor)
{
    fill(in, 3);
    int removed = 0;
    int resets = 0;
    std::vector<int> moves;
    QObject::connect(&in, &QAbstractItemModel::rowsRemoved, [&] { ++removed; });
    QObject::connect(&in, &QAbstractItemModel::modelReset, [&] {
        ++resets;
        EXPECT_EQ(in.rowCount(), 0);
    });
    QObject::connect(&in, &HistoryTable::cursorMoved, [&](int row) { moves.push_back(row); });

    // The number stays 0, but it now stands for another row, so the views must hear of it.
    DeleteCurrent(in, boxes);
    EXPECT_EQ(removed, 1);
    EXPECT_EQ(moves, std::vector<int>{0});

    CloseHistory(in, boxes);
    EXPECT_EQ(resets, 1);
    EXPECT_EQ(moves, (std::vector<int>{0, -1}));
}

} // namespace
