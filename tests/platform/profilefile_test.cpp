#include "platform/profilefile.h"

#include "support/filehelpers.h"
#include "support/printers.h"

#include <gtest/gtest.h>

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <sys/resource.h>

#include <csignal>

namespace {

class ProfileFileTest : public testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(m_dir.isValid()); }

    ProfileFile fileWith(const QByteArray &bytes)
    {
        WriteFileBytes(m_path, bytes);
        return ProfileFile(m_path);
    }

    QStringList directoryEntries() const
    {
        return QDir(m_dir.path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
    }

    QTemporaryDir m_dir;
    QString m_path = m_dir.filePath(QStringLiteral("veltrin.ini"));
};

using ProfileFileRead = ProfileFileTest;
using ProfileFileWrite = ProfileFileTest;
using ProfileFileRefusal = ProfileFileTest;

} // namespace

TEST_F(ProfileFileRead, MissingFileGivesDefaultAndStaysMissing)
{
    const ProfileFile file(m_path);

    EXPECT_EQ(file.readString("TCPIP", "IDENT", "default"), QByteArray("default"));
    EXPECT_FALSE(QFileInfo::exists(m_path));
}

TEST_F(ProfileFileRead, MatchesNamesWithoutRegardToCaseAndTrimsBlanks)
{
    const ProfileFile file = fileWith("  [TcpIp]  \r\n  Ident  =  Pavel Nov\xE1k  \r\n");

    EXPECT_EQ(file.readString("TCPIP", "IDENT", "default"), QByteArray("Pavel Nov\xE1k"));
    EXPECT_EQ(file.readString("tcpip", "ident", "default"), QByteArray("Pavel Nov\xE1k"));
}

TEST_F(ProfileFileRead, RemarkAfterASectionHeaderIsIgnored)
{
    const ProfileFile file = fileWith("[TCPIP] ; the station's own\r\nPORT=1\r\n");

    EXPECT_EQ(file.readString("TCPIP", "PORT", "default"), QByteArray("1"));
}

TEST_F(ProfileFileRead, MissingSectionOrKeyGivesDefaultButEmptyValueIsEmpty)
{
    const ProfileFile file = fileWith("[TCPIP]\r\nIDENT=\r\nPORT=1\r\n");

    EXPECT_EQ(file.readString("ALERT", "PORT", "default"), QByteArray("default"));
    EXPECT_EQ(file.readString("TCPIP", "USEIP", "default"), QByteArray("default"));
    EXPECT_EQ(file.readString("TCPIP", "IDENT", "default"), QByteArray());
}

TEST_F(ProfileFileRead, CommentsAndLinesWithoutEqualsNeverMatch)
{
    const ProfileFile file = fileWith("IDENT=before any section\r\n"
                                      "[TCPIP]\r\n"
                                      ";IDENT=commented out\r\n"
                                      "IDENT\r\n"
                                      "PORT\r\n");

    EXPECT_EQ(file.readString("TCPIP", "IDENT", "default"), QByteArray("default"));
    EXPECT_EQ(file.readString("TCPIP", ";IDENT", "default"), QByteArray("default"));
    EXPECT_EQ(file.readString("TCPIP", "PORT", "default"), QByteArray("default"));
}

TEST_F(ProfileFileRead, FirstSectionAndFirstKeyWin)
{
    const ProfileFile file = fileWith("[TCPIP]\r\n"
                                      "PORT=1\r\n"
                                      "port=2\r\n"
                                      "[tcpip]\r\n"
                                      "PORT=3\r\n"
                                      "IDENT=only in the second\r\n");

    EXPECT_EQ(file.readString("TCPIP", "PORT", "default"), QByteArray("1"));
    EXPECT_EQ(file.readString("TCPIP", "IDENT", "default"), QByteArray("default"));
}

TEST_F(ProfileFileRead, LfAndCrLfFilesReadAlike)
{
    const ProfileFile lf = fileWith("[A]\nKEY=value\n[B]\nKEY=other\n");
    EXPECT_EQ(lf.readString("A", "KEY", ""), QByteArray("value"));
    EXPECT_EQ(lf.readString("B", "KEY", ""), QByteArray("other"));

    const ProfileFile crLf = fileWith("[A]\r\nKEY=value\r\n[B]\r\nKEY=other");
    EXPECT_EQ(crLf.readString("A", "KEY", ""), QByteArray("value"));
    EXPECT_EQ(crLf.readString("B", "KEY", ""), QByteArray("other"));
}

TEST_F(ProfileFileRead, ValueIsCutTo2047Bytes)
{
    const QByteArray value = QByteArray(2047, 'a') + "bcd";
    const ProfileFile file = fileWith("[ALERT]\r\nWAVEFILE=" + value + "\r\n");

    EXPECT_EQ(file.readString("ALERT", "WAVEFILE", ""), value.left(2047));
}

TEST_F(ProfileFileRead, UnreadableFileReadsAsMissing)
{
    ASSERT_TRUE(QDir().mkdir(m_path));
    const ProfileFile file(m_path);

    EXPECT_EQ(file.readString("TCPIP", "IDENT", "default"), QByteArray("default"));
}

TEST_F(ProfileFileWrite, CreatesDirectoryAndFileWithCrLf)
{
    const QString path = m_dir.filePath(QStringLiteral("nested/deeper/veltrin.ini"));
    const ProfileFile file(path);

    file.writeString("TCPIP", "PORT", "34888");

    EXPECT_EQ(FileBytes(path), QByteArray("[TCPIP]\r\nPORT=34888\r\n"));
}

TEST_F(ProfileFileWrite, ReplacesKeyInPlaceAndKeepsEveryOtherLine)
{
    const ProfileFile file = fileWith("; written by hand\r\n"
                                      "[Other]\r\n"
                                      "PORT=7\r\n"
                                      "[tcpip]\r\n"
                                      "IDENT = Nov\xE1k\r\n"
                                      "  Port = 1  \r\n"
                                      "; the port above is the station's\r\n"
                                      "FOREIGN=kept\r\n"
                                      "\r\n"
                                      "[ALERT]\r\n"
                                      "PORT=9\r\n");

    file.writeString("TCPIP", "PORT", "34888");

    EXPECT_EQ(FileBytes(m_path),
              QByteArray("; written by hand\r\n"
                         "[Other]\r\n"
                         "PORT=7\r\n"
                         "[tcpip]\r\n"
                         "IDENT = Nov\xE1k\r\n"
                         "PORT=34888\r\n"
                         "; the port above is the station's\r\n"
                         "FOREIGN=kept\r\n"
                         "\r\n"
                         "[ALERT]\r\n"
                         "PORT=9\r\n"));
}

TEST_F(ProfileFileWrite, AppendsKeyAfterTheSectionsLastNonBlankLine)
{
    const ProfileFile file = fileWith("[TCPIP]\r\n"
                                      "USEIP=1\r\n"
                                      "; end of the station's keys\r\n"
                                      "\r\n"
                                      "\r\n"
                                      "[ALERT]\r\n"
                                      "MAXIMIZE=1\r\n");

    file.writeString("TCPIP", "PORT", "34888");

    EXPECT_EQ(FileBytes(m_path),
              QByteArray("[TCPIP]\r\n"
                         "USEIP=1\r\n"
                         "; end of the station's keys\r\n"
                         "PORT=34888\r\n"
                         "\r\n"
                         "\r\n"
                         "[ALERT]\r\n"
                         "MAXIMIZE=1\r\n"));
}

TEST_F(ProfileFileWrite, AppendsNewSectionAtTheEndAfterALastLineWithoutLineEnd)
{
    const ProfileFile file = fileWith("[TCPIP]\r\nUSEIP=1");

    file.writeString("ALERT", "WAVEFILE", "/usr/share/sounds/zpr\xE1va.wav");

    EXPECT_EQ(FileBytes(m_path),
              QByteArray("[TCPIP]\r\nUSEIP=1\r\n[ALERT]\r\nWAVEFILE=/usr/share/sounds/"
                         "zpr\xE1va.wav\r\n"));
}

TEST_F(ProfileFileWrite, KeepsLfLineEndsOfAnLfFile)
{
    const ProfileFile file = fileWith("[TCPIP]\nUSEIP=1\n");

    file.writeString("TCPIP", "PORT", "34888");
    file.writeString("DATABASE", "MAXRECS", "32");
    file.writeString("tcpip", "useip", "0");

    EXPECT_EQ(FileBytes(m_path),
              QByteArray("[TCPIP]\nuseip=0\nPORT=34888\n[DATABASE]\nMAXRECS=32\n"));
}

TEST_F(ProfileFileWrite, UsesCrLfForAddedLinesOfAMixedFile)
{
    const ProfileFile file = fileWith("[TCPIP]\nUSEIP=1\r\n");

    file.writeString("TCPIP", "PORT", "34888");

    EXPECT_EQ(FileBytes(m_path), QByteArray("[TCPIP]\nUSEIP=1\r\nPORT=34888\r\n"));
}

TEST_F(ProfileFileRefusal, TargetThatIsADirectory)
{
    const QString path = m_dir.filePath(QStringLiteral("p\u0159\u00edjem.ini"));
    ASSERT_TRUE(QDir().mkdir(path));
    const ProfileFile file(path);

    try {
        file.writeString("TCPIP", "PORT", "34888");
        FAIL() << "the write was not refused";
    } catch (const ProfileWriteError &error) {
        const QByteArray expected
                = "Unable to write to " + m_dir.path().toLatin1() + "/p\xF8\xEDjem.ini";
        EXPECT_EQ(error.text(), expected);
    }
    EXPECT_TRUE(QFileInfo(path).isDir());
}

TEST_F(ProfileFileRefusal, ParentThatIsARegularFile)
{
    const QString parent = m_dir.filePath(QStringLiteral("config"));
    WriteFileBytes(parent, "not a directory\r\n");
    const QString path = parent + QStringLiteral("/veltrin.ini");
    const ProfileFile file(path);

    try {
        file.writeString("TCPIP", "PORT", "34888");
        FAIL() << "the write was not refused";
    } catch (const ProfileWriteError &error) {
        EXPECT_EQ(error.text(), "Unable to write to " + path.toLatin1());
    }
    EXPECT_EQ(FileBytes(parent), QByteArray("not a directory\r\n"));
}

TEST_F(ProfileFileRefusal, FullDiskLeavesTheOldFileWhole)
{
    const QByteArray old = "[TCPIP]\r\nIDENT=Pavel\r\n; comment\r\n";
    const ProfileFile file = fileWith(old);

    bool refused = false;
    {
        const FileSizeLimit limit(old.size());
        ASSERT_TRUE(limit.active());
        try {
            file.writeString("TCPIP", "IDENT", "Pavel Nov\xE1k z druh\xE9ho patra");
        } catch (const ProfileWriteError &) {
            refused = true;
        }
    }

    EXPECT_TRUE(refused);
    EXPECT_EQ(FileBytes(m_path), old);
    EXPECT_EQ(directoryEntries(), QStringList{QStringLiteral("veltrin.ini")});
}
