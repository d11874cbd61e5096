// The settings file and the address book on a machine that misbehaves: the file replaced by a
// directory, unreadable, on a read-only file system, on a full one. Each child has mounts of its
// own, so the scratch file systems vanish with it. Permissions do not stop root, so the
// unreadable files are met by a child that has dropped to "nobody", and the unwritable ones lie
// on a file system mounted read-only, which stops root as well.

#include "faultchild.h"

#include "addressbook/addressbook.h"
#include "core/settings.h"
#include "core/udm.h"
#include "platform/codepage.h"
#include "platform/profilefile.h"
#include "support/filehelpers.h"
#include "support/recordingboxes.h"
#include "support/stationsettings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStringList>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <string>

namespace {

constexpr qint64 kScratchBytes = 64 * 1024;
// Room for the message store's tables and a few messages.
constexpr qint64 kStoreScratchBytes = 1024 * 1024;

const QByteArray kSavedSettings
        = "; written by hand\r\n[TCPIP]\r\nUSEIP=0\r\nIDENT=Recepce\r\n"
          "PORT=34888\r\n[DATABASE]\r\nMAXRECS=64\r\n[SIZE]\r\nWIDTH=640\r\n";

// Two groups, a recipient in both: what a user's book may look like after a few edits.
QByteArray SavedBook()
{
    return EncodeWindows1250(u"G\r\nVšichni\r\nVšichni\r\nG\r\nÚčtárna\r\nÚčtárna\r\n"
                             u"0\r\nPavla Nováková\r\nPC12\r\n"
                             u"Účtárna\r\nPavla Nováková\r\nPC12\r\n");
}

QByteArray UnableToWrite(const QString &path)
{
    return "Unable to write to " + QFile::encodeName(path);
}

QByteArray CannotRead(const QString &path)
{
    return EncodeWindows1250(u"Nelze přečíst soubor ") + QFile::encodeName(path);
}

QByteArray CannotWrite(const QString &path)
{
    return EncodeWindows1250(u"Nelze zapsat soubor ") + QFile::encodeName(path);
}

QStringList Entries(const QString &directory)
{
    QStringList names = QDir(directory).entryList(QDir::AllEntries | QDir::NoDotAndDotDot
                                                  | QDir::Hidden | QDir::System);
    names.sort();
    return names;
}

// The bytes behind a descriptor opened while the file could still be read.
QByteArray BytesOf(int fd)
{
    QByteArray bytes;
    char buffer[4096];
    off_t offset = 0;
    ssize_t n = 0;
    while ((n = ::pread(fd, buffer, sizeof buffer, offset)) > 0) {
        bytes.append(buffer, n);
        offset += n;
    }
    return bytes;
}

// The station's record after a start without a readable settings file.
void ExpectDefaultSettings(const Tdm &dm, const QByteArray &computerName)
{
    const TStationSettings &settings = dm.settings();
    EXPECT_TRUE(settings.USEIP);
    EXPECT_EQ(settings.IDENT, computerName);
    EXPECT_EQ(settings.PORT, 34888);
    EXPECT_EQ(settings.MAXRECS, 32);
    EXPECT_TRUE(settings.MAXIMIZE);
    EXPECT_FALSE(settings.PLAYWAVE);
    EXPECT_TRUE(settings.WAVEFILE.isEmpty());
}

// A station comes up whatever its settings file is like, since reading cannot fail; the
// start-up warning would show in boxes.
std::unique_ptr<Tdm> StartStation(RecordingBoxes &boxes)
{
    UseFreshMessageStore();
    auto dm = std::make_unique<Tdm>(boxes, [] { return QByteArray("PC7"); });
    dm->stopClock();
    return dm;
}

class FileFault : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_scratch.isValid()); }

    QString scratch() const { return m_scratch.path(); }
    QString settingsPath() const { return m_scratch.filePath(QStringLiteral("veltrin.ini")); }
    QString bookPath() const { return m_scratch.filePath(QStringLiteral("recpt.dat")); }

    // Private mounts and network, a tmpfs over the scratch directory, the settings file looked
    // for there, and then whatever the case needs before its body runs.
    std::function<std::string()> prepare(std::function<std::string()> more = {},
                                         qint64 bytes = kScratchBytes) const
    {
        const QString directory = scratch();
        return [directory, more, bytes]() -> std::string {
            std::string problem = PreparePrivateMountsAndNetwork();
            if (problem.empty())
                problem = MountScratchFileSystem(directory, bytes);
            if (!problem.empty())
                return problem;
            qputenv("XDG_CONFIG_HOME", QFile::encodeName(directory));
            return more ? more() : std::string();
        };
    }

    // Writes the files while still root, keeps a descriptor on the one that is to become
    // unreadable, takes every permission on it away and drops to "nobody".
    std::function<std::string()>
    prepareUnreadable(const QString &path, const QByteArray &bytes, int *keptFd) const
    {
        return prepare([path, bytes, keptFd]() -> std::string {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                return "cannot write " + path.toStdString();
            file.close();
            *keptFd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
            if (*keptFd < 0 || ::chmod(QFile::encodeName(path).constData(), 0) != 0)
                return "cannot take the permissions of " + path.toStdString() + " away";
            return DropToNobody();
        });
    }

    std::function<std::string()> prepareReadOnly(const QString &path, const QByteArray &data) const
    {
        const QString directory = scratch();
        return prepare([directory, path, bytes = data]() -> std::string {
            QFile file(path);
            if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
                return "cannot write " + path.toStdString();
            file.close();
            return RemountReadOnly(directory);
        });
    }

private:
    QTemporaryDir m_scratch;
};

using SettingsFileFault = FileFault;
using AddressBookFileFault = FileFault;
using MessageStoreFileFault = FileFault;

} // namespace

TEST_F(SettingsFileFault, DirectoryInItsPlaceGivesDefaultsAndRefusesTheSave)
{
    RUN_IN_FAULT_CHILD(prepare(), [this] {
        ASSERT_TRUE(QDir().mkdir(settingsPath()));
        WriteFileBytes(settingsPath() + QStringLiteral("/keep"), kSavedSettings);

        RecordingBoxes boxes;
        const std::unique_ptr<Tdm> dm = StartStation(boxes);
        ASSERT_TRUE(dm->started()) << boxes.warnings.front().constData();
        ExpectDefaultSettings(*dm, "PC7");

        TStationSettings chosen = dm->settings();
        chosen.IDENT = "Sklad";
        dm->setSettings(chosen);
        try {
            SaveSettings(OpenSettingsFile(), dm->settings());
            ADD_FAILURE() << "a directory in place of the settings file was written";
        } catch (const Error &error) {
            EXPECT_EQ(error.text(), UnableToWrite(settingsPath()));
        }
        // The record keeps what the user chose; the directory and what it holds stay.
        EXPECT_EQ(dm->settings().IDENT, QByteArray("Sklad"));
        EXPECT_TRUE(QFileInfo(settingsPath()).isDir());
        EXPECT_EQ(FileBytes(settingsPath() + QStringLiteral("/keep")), kSavedSettings);
        EXPECT_EQ(Entries(scratch()), QStringList{QStringLiteral("veltrin.ini")});
        EXPECT_TRUE(boxes.warnings.empty());
    });
}

TEST_F(SettingsFileFault, UnreadableFileGivesDefaultsAndIsNeverWrittenOver)
{
    int keptFd = -1;
    RUN_IN_FAULT_CHILD(prepareUnreadable(settingsPath(), kSavedSettings, &keptFd), [&] {
        ASSERT_NE(::geteuid(), 0u) << "the child still runs as root";
        RecordingBoxes boxes;
        const std::unique_ptr<Tdm> dm = StartStation(boxes);
        ASSERT_TRUE(dm->started());
        ExpectDefaultSettings(*dm, "PC7");

        // A save would have to write the file whole without knowing the rest of what it holds.
        try {
            SaveSettings(OpenSettingsFile(), dm->settings());
            ADD_FAILURE() << "an unreadable settings file was written over";
        } catch (const Error &error) {
            EXPECT_EQ(error.text(), UnableToWrite(settingsPath()));
        }
        EXPECT_EQ(BytesOf(keptFd), kSavedSettings);
        struct stat now = {};
        struct stat kept = {};
        ASSERT_EQ(::stat(QFile::encodeName(settingsPath()).constData(), &now), 0);
        ASSERT_EQ(::fstat(keptFd, &kept), 0);
        EXPECT_EQ(now.st_ino, kept.st_ino) << "the file was replaced";
        EXPECT_EQ(Entries(scratch()), QStringList{QStringLiteral("veltrin.ini")});
    });
}

TEST_F(SettingsFileFault, ReadOnlyFileSystemIsReadButRefusesTheSave)
{
    RUN_IN_FAULT_CHILD(prepareReadOnly(settingsPath(), kSavedSettings), [this] {
        RecordingBoxes boxes;
        const std::unique_ptr<Tdm> dm = StartStation(boxes);
        ASSERT_TRUE(dm->started());
        EXPECT_FALSE(dm->settings().USEIP);
        EXPECT_EQ(dm->settings().IDENT, QByteArray("Recepce"));
        EXPECT_EQ(dm->settings().MAXRECS, 64);

        TStationSettings chosen = dm->settings();
        chosen.USEIP = true;
        chosen.MAXRECS = 128;
        dm->setSettings(chosen);
        try {
            SaveSettings(OpenSettingsFile(), dm->settings());
            ADD_FAILURE() << "a read-only settings file was written";
        } catch (const Error &error) {
            EXPECT_EQ(error.text(), UnableToWrite(settingsPath()));
        }
        EXPECT_TRUE(dm->settings().USEIP);
        EXPECT_EQ(dm->settings().MAXRECS, 128);
        EXPECT_EQ(FileBytes(settingsPath()), kSavedSettings);
    });
}

TEST_F(SettingsFileFault, FullFileSystemLeavesTheOldFileWholeUntilThereIsRoomAgain)
{
    RUN_IN_FAULT_CHILD(prepare(), [this] {
        WriteFileBytes(settingsPath(), kSavedSettings);
        RecordingBoxes boxes;
        const std::unique_ptr<Tdm> dm = StartStation(boxes);
        ASSERT_TRUE(dm->started());
        ASSERT_GT(FillFileSystem(scratch()), 0);

        TStationSettings chosen = dm->settings();
        chosen.IDENT = "Recepce v prvnim patre";
        chosen.WAVEFILE = QByteArray(1500, 'w');
        try {
            SaveSettings(OpenSettingsFile(), chosen);
            ADD_FAILURE() << "the save claims to have written a full file system";
        } catch (const Error &error) {
            EXPECT_EQ(error.text(), UnableToWrite(settingsPath()));
        }
        EXPECT_EQ(FileBytes(settingsPath()), kSavedSettings);
        // No half-written temporary file is left to take the room.
        EXPECT_EQ(Entries(scratch()),
                  (QStringList{QStringLiteral("filler"), QStringLiteral("veltrin.ini")}));

        ASSERT_TRUE(QFile::remove(scratch() + QStringLiteral("/filler")));
        SaveSettings(OpenSettingsFile(), chosen);
        TStationSettings loaded;
        LoadSettings(OpenSettingsFile(), "PC7", loaded);
        EXPECT_EQ(loaded.IDENT, QByteArray("Recepce v prvnim patre"));
        EXPECT_EQ(loaded.WAVEFILE, QByteArray(1500, 'w'));
        EXPECT_EQ(loaded.MAXRECS, 64);
        // What the station does not own stays.
        const QByteArray after = FileBytes(settingsPath());
        EXPECT_TRUE(after.startsWith("; written by hand\r\n")) << after.constData();
        EXPECT_TRUE(after.contains("[SIZE]\r\nWIDTH=640\r\n")) << after.constData();
    });
}

TEST_F(AddressBookFileFault, DirectoryInItsPlaceIsReportedAndKept)
{
    RUN_IN_FAULT_CHILD(prepare(), [this] {
        ASSERT_TRUE(QDir().mkdir(bookPath()));
        WriteFileBytes(bookPath() + QStringLiteral("/keep"), SavedBook());

        AddressBook book;
        try {
            book.LoadAddressBook(bookPath());
            ADD_FAILURE() << "a directory loaded as an address book";
        } catch (const Error &error) {
            EXPECT_EQ(error.text(), CannotRead(bookPath()));
        }
        ASSERT_EQ(book.groupCount(), 1);
        EXPECT_EQ(book.groupText(0), AddressBook::allRecipientsName());
        EXPECT_EQ(book.memberCount(0), 0);

        // The next save moves the directory aside whole, as any unreadable book, and then
        // writes the book where the station looks for it.
        book.AddRecipientNode("Sklad", "PC3");
        book.SaveAddressBook(bookPath());
        EXPECT_EQ(FileBytes(bookPath()),
                  EncodeWindows1250(u"G\r\nVšichni\r\nVšichni\r\n0\r\nSklad\r\nPC3\r\n"));
        const QString backup = bookPath() + QStringLiteral(".bak");
        EXPECT_TRUE(QFileInfo(backup).isDir());
        EXPECT_EQ(FileBytes(backup + QStringLiteral("/keep")), SavedBook());
        EXPECT_EQ(Entries(scratch()),
                  (QStringList{QStringLiteral("recpt.dat"), QStringLiteral("recpt.dat.bak")}));
        EXPECT_EQ(book.memberCount(0), 1);
    });
}

TEST_F(AddressBookFileFault, UnreadableFileIsReportedAndMovedAsideBeforeTheNextSave)
{
    int keptFd = -1;
    RUN_IN_FAULT_CHILD(prepareUnreadable(bookPath(), SavedBook(), &keptFd), [&] {
        ASSERT_NE(::geteuid(), 0u) << "the child still runs as root";
        AddressBook book;
        try {
            book.LoadAddressBook(bookPath());
            ADD_FAILURE() << "an unreadable address book loaded";
        } catch (const Error &error) {
            EXPECT_EQ(error.text(), CannotRead(bookPath()));
        }
        ASSERT_EQ(book.groupCount(), 1);
        EXPECT_EQ(book.groupText(0), AddressBook::allRecipientsName());
        EXPECT_EQ(book.memberCount(0), 0);

        book.AddRecipientNode("Sklad", "PC3");
        book.SaveAddressBook(bookPath());
        EXPECT_EQ(FileBytes(bookPath()),
                  EncodeWindows1250(u"G\r\nVšichni\r\nVšichni\r\n0\r\nSklad\r\nPC3\r\n"));
        // The old book, which the station never saw, is kept whole beside the new one.
        const QString backup = bookPath() + QStringLiteral(".bak");
        struct stat moved = {};
        struct stat kept = {};
        ASSERT_EQ(::stat(QFile::encodeName(backup).constData(), &moved), 0);
        ASSERT_EQ(::fstat(keptFd, &kept), 0);
        EXPECT_EQ(moved.st_ino, kept.st_ino) << "the unreadable book was not what went aside";
        EXPECT_EQ(BytesOf(keptFd), SavedBook());
        EXPECT_EQ(Entries(scratch()),
                  (QStringList{QStringLiteral("recpt.dat"), QStringLiteral("recpt.dat.bak")}));
    });
}

TEST_F(AddressBookFileFault, ReadOnlyFileSystemIsReadButRefusesTheSave)
{
    RUN_IN_FAULT_CHILD(prepareReadOnly(bookPath(), SavedBook()), [this] {
        AddressBook book;
        book.LoadAddressBook(bookPath());
        ASSERT_EQ(book.groupCount(), 2);
        ASSERT_EQ(book.memberCount(1), 1);

        book.AddRecipientNode("Sklad", "PC3");
        try {
            book.SaveAddressBook(bookPath());
            ADD_FAILURE() << "a read-only address book was written";
        } catch (const Error &error) {
            EXPECT_EQ(error.text(), CannotWrite(bookPath()));
        }
        // The tree keeps the edit, the file what it held.
        EXPECT_EQ(book.memberCount(0), 2);
        EXPECT_EQ(FileBytes(bookPath()), SavedBook());
    });
}

TEST_F(AddressBookFileFault, FullFileSystemLeavesTheOldFileWholeUntilThereIsRoomAgain)
{
    RUN_IN_FAULT_CHILD(prepare(), [this] {
        WriteFileBytes(bookPath(), SavedBook());
        AddressBook book;
        book.LoadAddressBook(bookPath());
        ASSERT_EQ(book.memberCount(0), 1);
        ASSERT_GT(FillFileSystem(scratch()), 0);

        for (int i = 0; i < 100; ++i)
            book.AddRecipientNode("Pobocka " + QByteArray::number(i),
                                  "10.0.0." + QByteArray::number(i));
        try {
            book.SaveAddressBook(bookPath());
            ADD_FAILURE() << "the save claims to have written a full file system";
        } catch (const Error &error) {
            EXPECT_EQ(error.text(), CannotWrite(bookPath()));
        }
        EXPECT_EQ(FileBytes(bookPath()), SavedBook());
        EXPECT_EQ(Entries(scratch()),
                  (QStringList{QStringLiteral("filler"), QStringLiteral("recpt.dat")}));

        ASSERT_TRUE(QFile::remove(scratch() + QStringLiteral("/filler")));
        book.SaveAddressBook(bookPath());
        AddressBook reloaded;
        reloaded.LoadAddressBook(bookPath());
        ASSERT_EQ(reloaded.groupCount(), 2);
        EXPECT_EQ(reloaded.memberCount(0), 101);
        EXPECT_EQ(reloaded.memberCount(1), 1);
        EXPECT_EQ(reloaded.memberText(0, 100), QByteArray("Pobocka 99"));
    });
}

// A disk that fills up under a running station costs only the disk copies of what came
// meanwhile, and says so once; the messages go on from memory, and with room again the store
// takes the next ones.
TEST_F(MessageStoreFileFault, AFullDiskDuringTheRunIsReportedOnceAndWritingResumes)
{
    RUN_IN_FAULT_CHILD(prepare({}, kStoreScratchBytes), [this] {
        qputenv("XDG_DATA_HOME", QFile::encodeName(scratch()));
        RecordingBoxes boxes;
        const auto start = [&boxes] {
            auto dm = std::make_unique<Tdm>(boxes, [] { return QByteArray("PC7"); });
            dm->stopClock();
            return dm;
        };
        std::unique_ptr<Tdm> dm = start();
        ASSERT_TRUE(dm->started());
        ASSERT_TRUE(dm->store().isOpen());
        std::vector<QByteArray> lines;
        QObject::connect(dm.get(), &Tdm::statusLine, [&lines](const QByteArray &line) {
            lines.push_back(line);
        });
        const auto saying = [&lines](QStringView start) {
            return std::count_if(lines.begin(), lines.end(), [start](const QByteArray &line) {
                return line.startsWith(EncodeWindows1250(start));
            });
        };
        dm->QueueMessage("Jan", "PC1", "pred");
        ASSERT_GT(FillFileSystem(scratch()), 0);
        dm->QueueMessage("Jan", "PC1", "na plny disk");
        dm->QueueMessage("Jan", "PC1", "znovu na plny disk");
        EXPECT_EQ(dm->outboundQueue().size(), 3u);
        EXPECT_EQ(saying(u"Zprávy nelze uložit: "), 1);

        ASSERT_TRUE(QFile::remove(scratch() + QStringLiteral("/filler")));
        dm->QueueMessage("Jan", "PC1", "po");
        EXPECT_EQ(saying(u"Zprávy se opět ukládají"), 1);
        EXPECT_EQ(saying(u"Zprávy nelze uložit: "), 1);

        dm.reset();
        dm = start();
        QByteArrayList waiting;
        for (const TMessageQueueItem &entry : dm->outboundQueue())
            waiting << entry.Body;
        EXPECT_EQ(waiting, (QByteArrayList{"pred", "po"}));
        EXPECT_TRUE(boxes.warnings.empty());
        EXPECT_TRUE(boxes.errors.empty());
    });
}
