#include "sendcommand.h"

#include "platform/codepage.h"

#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QStringDecoder>

namespace {

constexpr int kMaxTimeoutSeconds = 24 * 60 * 60;

QString Shown(const QByteArray &stationText)
{
    return DecodeWindows1250(stationText);
}

// The first character that Windows-1250 cannot hold, named so that it can be found.
std::optional<QString> Unencodable(const QString &text)
{
    for (qsizetype i = 0; i < text.size(); ++i) {
        qsizetype length = 1;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate())
            length = 2;
        const QString character = text.mid(i, length);
        if (!IsWindows1250Text(character)) {
            const char32_t code = character.toUcs4().value(0);
            return QStringLiteral("„%1“ (U+%2)")
                    .arg(character)
                    .arg(QString::number(quint32(code), 16).toUpper(), 4, QLatin1Char('0'));
        }
        i += length - 1;
    }
    return std::nullopt;
}

QString WithCrLf(QString text)
{
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    text.replace(QLatin1Char('\r'), QLatin1Char('\n'));
    text.replace(QLatin1Char('\n'), QStringLiteral("\r\n"));
    return text;
}

} // namespace

QString SendUsage()
{
    return QStringLiteral(
            "Použití: veltrin-send [-n JMÉNO] [--timeout SEKUNDY] POČÍTAČ... [-m TEXT]\n"
            "Pošle TEXT (bez -m ze standardního vstupu) každému POČÍTAČI (jméno nebo adresa\n"
            "IPv4) a vypíše výsledek každé kopie: \"POČÍTAČ: Odeslaná\" nebo \"POČÍTAČ: Chyba!\".\n"
            "  -m, --message TEXT   text zprávy, nejvýš 400 znaků\n"
            "  -n, --name JMÉNO     jméno odesílatele ve zprávě (výchozí IDENT z veltrin.ini)\n"
            "  --timeout SEKUNDY    čekat na výsledek nejvýš tolik sekund\n"
            "  -h, --help           tento popis\n"
            "Návratový kód: 0 vše doručeno, 1 některá kopie nedoručena, 2 chybné použití.\n");
}

std::variant<SendCommand, QString> ParseSendCommand(const QStringList &arguments)
{
    QCommandLineParser parser;
    const QCommandLineOption name(
            {QStringLiteral("n"), QStringLiteral("name")}, QString(), QStringLiteral("name"));
    const QCommandLineOption message(
            {QStringLiteral("m"), QStringLiteral("message")}, QString(), QStringLiteral("text"));
    const QCommandLineOption timeout(QStringLiteral("timeout"), QString(), QStringLiteral("s"));
    const QCommandLineOption help(QStringList{QStringLiteral("h"), QStringLiteral("help")});
    parser.addOptions({name, message, timeout, help});
    if (!parser.parse(arguments))
        return parser.errorText();

    SendCommand command;
    command.help = parser.isSet(help);
    if (command.help)
        return command;
    for (const auto &[option, field] :
         {std::pair{&name, &command.ident}, std::pair{&message, &command.text}}) {
        const QStringList values = parser.values(*option);
        if (values.size() > 1)
            return QStringLiteral("Volba -%1 je uvedena víckrát.").arg(option->names().front());
        if (!values.isEmpty())
            *field = values.front();
    }
    if (parser.isSet(timeout)) {
        const QStringList values = parser.values(timeout);
        bool ok = false;
        const int seconds = values.back().toInt(&ok);
        if (values.size() > 1 || !ok || seconds < 1 || seconds > kMaxTimeoutSeconds)
            return QStringLiteral("--timeout chce jeden celý počet sekund od 1 do 86400.");
        command.timeoutSeconds = seconds;
    }
    command.hosts = parser.positionalArguments();
    if (command.hosts.isEmpty())
        return QStringLiteral("Chybí příjemce: uveďte aspoň jeden počítač.");
    return command;
}

std::optional<QString> TextFromInput(const QByteArray &input)
{
    QStringDecoder decoder(QStringDecoder::System, QStringConverter::Flag::Stateless);
    QString text = decoder.decode(input);
    if (decoder.hasError())
        return std::nullopt;
    if (text.endsWith(QStringLiteral("\r\n")))
        text.chop(2);
    else if (text.endsWith(QLatin1Char('\n')))
        text.chop(1);
    return text;
}

std::variant<LocalSendRequest, QString> PrepareRequest(const SendCommand &command,
                                                       const QString &text)
{
    LocalSendRequest request;
    for (const QString &host : command.hosts) {
        if (const auto character = Unencodable(host)) {
            return QStringLiteral("Adresa %1 obsahuje znak %2, který kódování Windows-1250 "
                                  "nezná.")
                    .arg(host, *character);
        }
        const QByteArray encoded = EncodeWindows1250(host);
        if (const auto problem = HostProblem(encoded))
            return host + QStringLiteral(": ") + Shown(*problem);
        request.hosts.append(encoded);
    }
    if (command.ident) {
        if (const auto character = Unencodable(*command.ident)) {
            return QStringLiteral("Jméno odesílatele obsahuje znak %1, který kódování "
                                  "Windows-1250 nezná.")
                    .arg(*character);
        }
        request.ident = EncodeWindows1250(*command.ident);
        if (const auto problem = IdentProblem(*request.ident))
            return Shown(*problem);
    }
    if (const auto character = Unencodable(text)) {
        return QStringLiteral("Zpráva obsahuje znak %1, který kódování Windows-1250 nezná.")
                .arg(*character);
    }
    request.body = EncodeWindows1250(WithCrLf(text));
    if (const auto problem = RequestProblem(request))
        return Shown(*problem);
    return request;
}
