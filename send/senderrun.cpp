#include "senderrun.h"
#include "sendcommand.h"
#include "stationroute.h"

#include "core/settings.h"
#include "localsend/localsendprotocol.h"
#include "platform/codepage.h"
#include "platform/computername.h"
#include "platform/error.h"

#include <QEventLoop>
#include <QTimer>

#include <optional>
#include <vector>

namespace {

QByteArray Local(const QString &text)
{
    return text.toLocal8Bit();
}

QString Shown(const QByteArray &stationText)
{
    // A socket error's text breaks its line; an outcome is one line.
    QString text = DecodeWindows1250(stationText);
    text.replace(QStringLiteral("\r\n"), QStringLiteral(" "));
    text.replace(QLatin1Char('\n'), QLatin1Char(' ')).replace(QLatin1Char('\r'), QLatin1Char(' '));
    return text.trimmed();
}

class Run
{
public:
    Run(const SendCommand &command, QIODevice &output, QIODevice &errors)
        : m_command(command)
        , m_output(output)
        , m_errors(errors)
        , m_outcomes(std::size_t(command.hosts.size()))
    {}

    int viaStation(StationRoute &route, const LocalSendRequest &request);
    int standalone(const LocalSendRequest &request, const SenderSeams &seams);
    int problem(const QString &text);

private:
    void print(const CopyOutcome &outcome);
    // Waits for the end, or for the time the user allowed; then the copies without an outcome
    // get one that says why.
    void wait(const std::function<void()> &stopOnTimeout);
    int finish(const QString &unknownOutcome);

    const SendCommand &m_command;
    QIODevice &m_output;
    QIODevice &m_errors;
    std::vector<std::optional<CopyOutcome>> m_outcomes;
    QEventLoop m_loop;
    bool m_ended = false;
};

int Run::problem(const QString &text)
{
    m_errors.write("veltrin-send: " + Local(text) + '\n');
    return kUsageOrStartError;
}

void Run::print(const CopyOutcome &outcome)
{
    std::optional<CopyOutcome> &slot = m_outcomes.at(std::size_t(outcome.index));
    if (slot)
        return;
    slot = outcome;
    QString line = m_command.hosts.at(outcome.index) + QStringLiteral(": ");
    if (outcome.confirmed) {
        line += QStringLiteral("Odeslaná");
    } else {
        const QString why = Shown(outcome.errorText);
        line += QStringLiteral("Chyba! ")
                + (why.isEmpty() ? QStringLiteral("Příjemce zprávu nepotvrdil ani po 8 pokusech.")
                                 : why);
    }
    m_output.write(Local(line) + '\n');
}

void Run::wait(const std::function<void()> &stopOnTimeout)
{
    QTimer timeout;
    if (m_command.timeoutSeconds) {
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, &m_loop, stopOnTimeout);
        timeout.start(*m_command.timeoutSeconds * 1000);
    }
    if (!m_ended)
        m_loop.exec();
}

int Run::finish(const QString &unknownOutcome)
{
    bool everyConfirmed = true;
    for (std::size_t i = 0; i < m_outcomes.size(); ++i) {
        if (!m_outcomes[i])
            print({qsizetype(i), false, EncodeWindows1250(unknownOutcome)});
        everyConfirmed = everyConfirmed && m_outcomes[i]->confirmed;
    }
    return everyConfirmed ? kEveryCopyConfirmed : kSomeCopyNotConfirmed;
}

int Run::viaStation(StationRoute &route, const LocalSendRequest &request)
{
    std::optional<QByteArray> refusal;
    bool timedOut = false;
    const auto end = [this] {
        m_ended = true;
        m_loop.quit();
    };
    QObject::connect(&route,
                     &StationRoute::outcomeKnown,
                     &m_loop,
                     [this](const CopyOutcome &outcome) { print(outcome); });
    QObject::connect(&route, &StationRoute::refused, &m_loop, [&](const QByteArray &text) {
        refusal = text;
        end();
    });
    QObject::connect(&route, &StationRoute::closed, &m_loop, end);
    route.send(request);
    wait([&] {
        timedOut = true;
        route.close();
        end();
    });
    if (refusal)
        return problem(QStringLiteral("Stanice zprávu nepřijala: ") + Shown(*refusal));
    if (!route.wasAccepted() && !timedOut)
        return problem(QStringLiteral("Stanice ukončila spojení, aniž zprávu převzala."));
    return finish(timedOut ? QStringLiteral("Čekání vypršelo; zpráva zůstává ve frontě stanice.")
                           : QStringLiteral("Stanice skončila dřív, než byl znám výsledek."));
}

int Run::standalone(const LocalSendRequest &request, const SenderSeams &seams)
{
    const QByteArray computerName = ComputerNetworkName();
    if (computerName.isEmpty())
        return problem(QStringLiteral("Nelze získat jméno tohoto počítače!"));
    TStationSettings settings;
    LoadSettings(OpenSettingsFile(), computerName, settings);

    StandaloneSender sender(computerName,
                            request.ident.value_or(settings.IDENT),
                            request.hosts,
                            request.body,
                            settings.USEIP,
                            seams.retryInterval,
                            seams.listenPort);
    QObject::connect(&sender,
                     &StandaloneSender::outcomeKnown,
                     &m_loop,
                     [this](const CopyOutcome &outcome) { print(outcome); });
    QObject::connect(&sender, &StandaloneSender::finished, &m_loop, [this] {
        m_ended = true;
        m_loop.quit();
    });
    try {
        sender.start();
    } catch (const std::exception &error) {
        return problem(QStringLiteral("Žádná stanice neběží a port %1 nelze otevřít (drží ho jiný "
                                      "program?): %2")
                               .arg(seams.listenPort)
                               .arg(Shown(ErrorTextOf(error))));
    }
    wait([&] {
        sender.stop(); // finishing follows, once the keys are spent
    });
    return finish(QStringLiteral("Čekání vypršelo, zpráva už se neposílá."));
}

} // namespace

int RunSender(const QStringList &arguments,
              QIODevice &input,
              QIODevice &output,
              QIODevice &errors,
              const SenderSeams &seams)
{
    const std::variant<SendCommand, QString> parsed = ParseSendCommand(arguments);
    if (const QString *problem = std::get_if<QString>(&parsed)) {
        errors.write("veltrin-send: " + Local(*problem) + '\n' + Local(SendUsage()));
        return kUsageOrStartError;
    }
    const SendCommand &command = std::get<SendCommand>(parsed);
    if (command.help) {
        output.write(Local(SendUsage()));
        return kEveryCopyConfirmed;
    }
    Run run(command, output, errors);

    QString text;
    if (command.text) {
        text = *command.text;
    } else {
        const std::optional<QString> read = TextFromInput(input.readAll());
        if (!read)
            return run.problem(QStringLiteral("Standardní vstup není text v kódování UTF-8."));
        text = *read;
    }
    const std::variant<LocalSendRequest, QString> prepared = PrepareRequest(command, text);
    if (const QString *problem = std::get_if<QString>(&prepared))
        return run.problem(*problem);
    const LocalSendRequest &request = std::get<LocalSendRequest>(prepared);

    try {
        StationRoute route;
        if (route.connectTo(LocalSendSocketPath()))
            return run.viaStation(route, request);
        return run.standalone(request, seams);
    } catch (const std::exception &error) {
        return run.problem(Shown(ErrorTextOf(error)));
    }
}
