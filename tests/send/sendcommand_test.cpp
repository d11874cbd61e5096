#include "send/sendcommand.h"
#include "send/standalonesender.h"

#include "platform/codepage.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

QStringList Line(std::initializer_list<const char *> words)
{
    QStringList line{QStringLiteral("veltrin-send")};
    for (const char *word : words)
        line << QString::fromUtf8(word);
    return line;
}

SendCommand Parsed(std::initializer_list<const char *> words)
{
    const auto parsed = ParseSendCommand(Line(words));
    if (const QString *problem = std::get_if<QString>(&parsed)) {
        ADD_FAILURE() << "refused: " << problem->toStdString();
        return {};
    }
    return std::get<SendCommand>(parsed);
}

QString Problem(std::initializer_list<const char *> words)
{
    const auto parsed = ParseSendCommand(Line(words));
    const QString *problem = std::get_if<QString>(&parsed);
    return problem ? *problem : QString();
}

SendCommand To(const QStringList &hosts, std::optional<QString> ident = std::nullopt)
{
    SendCommand command;
    command.hosts = hosts;
    command.ident = std::move(ident);
    return command;
}

LocalSendRequest Prepared(const SendCommand &command, const QString &text)
{
    const auto prepared = PrepareRequest(command, text);
    if (const QString *problem = std::get_if<QString>(&prepared)) {
        ADD_FAILURE() << "refused: " << problem->toStdString();
        return {};
    }
    return std::get<LocalSendRequest>(prepared);
}

QString Refusal(const SendCommand &command, const QString &text)
{
    const auto prepared = PrepareRequest(command, text);
    const QString *problem = std::get_if<QString>(&prepared);
    return problem ? *problem : QString();
}

} // namespace

TEST(SendCommandLine, TakesHostsNameTextAndTimeoutInAnyOrder)
{
    const SendCommand command = Parsed(
            {"-n", "Zálohy", "PC7", "-m", "Záloha selhala", "10.0.0.5", "--timeout", "30"});
    EXPECT_EQ(command.hosts, (QStringList{QStringLiteral("PC7"), QStringLiteral("10.0.0.5")}));
    EXPECT_EQ(command.ident, QStringLiteral("Zálohy"));
    EXPECT_EQ(command.text, QStringLiteral("Záloha selhala"));
    EXPECT_EQ(command.timeoutSeconds, 30);
    EXPECT_FALSE(command.help);

    const SendCommand fromInput = Parsed({"PC7"});
    EXPECT_FALSE(fromInput.text.has_value());
    EXPECT_FALSE(fromInput.ident.has_value());
    EXPECT_FALSE(fromInput.timeoutSeconds.has_value());
    // A text that looks like an option is still the text.
    EXPECT_EQ(Parsed({"PC7", "-m", "-1 disk"}).text, QStringLiteral("-1 disk"));
    EXPECT_TRUE(Parsed({"--help"}).help);
}

TEST(SendCommandLine, RefusesWhatItCannotDo)
{
    EXPECT_FALSE(Problem({"-m", "text"}).isEmpty()) << "no host";
    EXPECT_FALSE(Problem({"PC7", "-m", "a", "-m", "b"}).isEmpty()) << "two texts";
    EXPECT_FALSE(Problem({"PC7", "--timeout", "0"}).isEmpty());
    EXPECT_FALSE(Problem({"PC7", "--timeout", "soon"}).isEmpty());
    EXPECT_FALSE(Problem({"PC7", "--timeout", "86401"}).isEmpty());
    EXPECT_FALSE(Problem({"PC7", "--colour"}).isEmpty());
    EXPECT_FALSE(Problem({"PC7", "-m"}).isEmpty()) << "option without its value";
    EXPECT_TRUE(Problem({"PC7", "--timeout", "86400"}).isEmpty());
}

TEST(SendInput, OneFinalLineBreakBelongsToTheInput)
{
    EXPECT_EQ(TextFromInput("Disk plný\n"), QStringLiteral("Disk plný"));
    EXPECT_EQ(TextFromInput("a\r\n"), QStringLiteral("a"));
    EXPECT_EQ(TextFromInput("a\nb\n\n"), QStringLiteral("a\nb\n"));
    EXPECT_EQ(TextFromInput("bez konce"), QStringLiteral("bez konce"));
    EXPECT_FALSE(TextFromInput("\xff\xfe broken").has_value());
}

TEST(SendRequest, TravelsAsWindows1250WithCrLfLineBreaks)
{
    const LocalSendRequest request
            = Prepared(To({QStringLiteral("PC7"), QStringLiteral("PC8")}, QStringLiteral("Zálohy")),
                       QStringLiteral("Žluťoučký kůň\nřádek\r\ndva"));
    EXPECT_EQ(request.hosts, (QByteArrayList{"PC7", "PC8"}));
    EXPECT_EQ(request.ident, QByteArray("Z\xe1lohy"));
    EXPECT_EQ(request.body,
              QByteArray("\x8elu\x9dou\xe8k\xfd k\xf9\xf2\r\n\xf8\xe1\x64\x65k\r\ndva"));
    EXPECT_FALSE(Prepared(To({QStringLiteral("PC7")}), QStringLiteral("x")).ident.has_value());
}

TEST(SendRequest, KeepsTheComposeDialogsLimitOf400WithLineBreaksCountingTwo)
{
    const SendCommand command = To({QStringLiteral("PC7")});
    EXPECT_EQ(Prepared(command, QString(400, QLatin1Char('a'))).body.size(), 400);
    EXPECT_FALSE(Refusal(command, QString(401, QLatin1Char('a'))).isEmpty());
    EXPECT_FALSE(Refusal(command, QString(399, QLatin1Char('a')) + QLatin1Char('\n')).isEmpty());
    EXPECT_EQ(Prepared(command, QString(398, QLatin1Char('a')) + QLatin1Char('\n')).body.size(),
              400);
    EXPECT_FALSE(Refusal(command, QString()).isEmpty()) << "an empty message";
}

TEST(SendRequest, NamesACharacterThatWindows1250CannotHold)
{
    const QString problem = Refusal(To({QStringLiteral("PC7")}), QStringLiteral("Привет"));
    EXPECT_TRUE(problem.contains(QStringLiteral("П"))) << problem.toStdString();
    EXPECT_TRUE(problem.contains(QStringLiteral("U+041F"))) << problem.toStdString();
    // Outside the basic plane too, as one character.
    EXPECT_TRUE(Refusal(To({QStringLiteral("PC7")}), QStringLiteral("ok \U0001F600"))
                        .contains(QStringLiteral("U+1F600")));
    EXPECT_FALSE(Refusal(To({QStringLiteral("PC7")}, QStringLiteral("Жан")), QStringLiteral("x"))
                         .isEmpty());
    EXPECT_FALSE(Refusal(To({QStringLiteral("ПК")}), QStringLiteral("x")).isEmpty());
    // The euro sign and Czech letters are in the code page.
    EXPECT_EQ(Prepared(To({QStringLiteral("PC7")}), QStringLiteral("5 €")).body,
              QByteArray("5 \x80"));
}

TEST(SendRequest, RefusesNamesAndHostsThatWouldBeReadOtherwise)
{
    const QString text = QStringLiteral("x");
    EXPECT_FALSE(
            Refusal(To({QStringLiteral("PC7")}, QString(33, QLatin1Char('n'))), text).isEmpty());
    EXPECT_TRUE(
            Refusal(To({QStringLiteral("PC7")}, QString(32, QLatin1Char('n'))), text).isEmpty());
    EXPECT_TRUE(Refusal(To({QStringLiteral("PC7")}, QString()), text).isEmpty());
    for (const char *ident : {"a|b", "a<b", "a>b", "a\nb"})
        EXPECT_FALSE(Refusal(To({QStringLiteral("PC7")}, QString::fromUtf8(ident)), text).isEmpty())
                << ident;
    for (const char *host : {"", "PC 7", "PC7|x", "<PC7>", "PC~7", "PC\t7"})
        EXPECT_FALSE(Refusal(To({QString::fromUtf8(host)}), text).isEmpty()) << host;
    EXPECT_FALSE(
            Refusal(To({QStringLiteral("PC7")}), QStringLiteral("a") + QChar(0) + QLatin1Char('b'))
                    .isEmpty());
}

TEST(StandaloneKeys, StartFromTheTimeAndNeverOverlapARunMomentsBefore)
{
    const qint64 now = 1796000000123; // December 2026
    const RowIdBlock first = ReserveRowIds(now, 3);
    EXPECT_EQ(QByteArray::number(first.firstRowId).size(), 10);
    EXPECT_GT(first.firstRowId, 1000000000);
    // The run holds its port until its three IDs lie in the past; the next run starts then at
    // the earliest and begins beyond them.
    EXPECT_GT(first.spentAtMs, now);
    EXPECT_LE(first.spentAtMs, now + 3 * 100);
    const RowIdBlock next = ReserveRowIds(first.spentAtMs, 1);
    EXPECT_GE(next.firstRowId, first.firstRowId + 3);
    // A tenth of a second later is a new ID; a run a second earlier had a smaller one.
    EXPECT_EQ(ReserveRowIds(now + 100, 1).firstRowId, first.firstRowId + 1);
    EXPECT_LT(ReserveRowIds(now - 1000, 1).firstRowId, first.firstRowId);
}
