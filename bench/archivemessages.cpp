#include "archivemessages.h"

#include "platform/codepage.h"

#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>

#include <iterator>

namespace {

// Far enough apart that the newest and the oldest stay within the store's default age limit.
constexpr qint64 kSpacingMs = 250 * 1000;
// Messages a burst stores before the event loop runs again, as a flood would bring them.
constexpr int kBurst = 50;
// Unread and failed ones are rare, as on a desk whose user reads what comes.
constexpr int kUnreadEvery = 5000;
constexpr int kFailedEvery = 200;

// About sixty characters each, none beginning either search word.
const char16_t *const kTexts[] = {
        u"Ahoj, porada se přesouvá na zítra ráno do malé zasedačky.",
        u"Šéf říká, že porada o dodávce papíru bude až v pátek.",
        u"Tiskárna ve druhém patře zase nefunguje, volal jsem servis.",
        u"Nezapomeňte prosím odevzdat docházku za minulý měsíc.",
        u"Oběd dnes v jedenáct třicet, kdo jde s námi do jídelny?",
        u"Účetní potřebuje podepsané cestovní příkazy ještě dnes.",
        u"Server se v noci restartuje, uložte si rozdělanou práci.",
        u"Děkuji, hotovo. Objednávku jsem předal skladu k vyřízení.",
};
constexpr char16_t kRareText[] = u"Vaše objednávka byla přijatá, zboží odešleme zítra ráno.";

} // namespace

QByteArray ArchiveText(int number)
{
    const QStringView text = number % kRareWordEvery == 0
                                     ? QStringView(kRareText)
                                     : QStringView(kTexts[number % std::size(kTexts)]);
    return EncodeWindows1250(text.toString() + QStringLiteral(" (") + QString::number(number)
                             + QLatin1Char(')'));
}

StoredMessage ArchiveMessage(int number, const QDateTime &datum)
{
    static const QByteArray partner = EncodeWindows1250(u"Jan Novák <10.0.0.7>");
    static const QByteArray name = EncodeWindows1250(u"Jan Novák");
    StoredMessage message;
    const bool sent = number % 3 == 0;
    message.box = sent ? HistoryKind::Sent : HistoryKind::Received;
    message.row.ID = sent ? number / 3 : number - number / 3;
    if (sent)
        message.row.FLAG = number % kFailedEvery == 0 ? HistoryFlag::Failed : HistoryFlag::Ok;
    else
        message.row.FLAG = number % kUnreadEvery == 1 ? HistoryFlag::New : HistoryFlag::Read;
    message.row.lFLAG = HistoryFlagLabel(message.row.FLAG).value_or(QByteArray());
    message.row.DATUM = datum;
    message.row.FROM = partner;
    message.row.MSG = ArchiveText(number);
    message.body = message.row.MSG;
    message.key = "PC9~" + QByteArray::number(number);
    message.host = "10.0.0.7";
    message.ident = sent ? QByteArray("Recepce") : name;
    message.storedAtMs = datum.toMSecsSinceEpoch();
    return message;
}

std::vector<qint64> AddInBursts(MessageStore &store, int first, int count, qint64 spacingMs)
{
    std::vector<qint64> ns;
    ns.reserve(static_cast<std::size_t>(count));
    const qint64 lastMs = QDateTime::currentMSecsSinceEpoch();
    const int end = first + count;
    int next = first;
    QEventLoop loop;
    QTimer burst;
    QObject::connect(&burst, &QTimer::timeout, &loop, [&] {
        QElapsedTimer timer;
        for (int i = 0; i < kBurst && next < end; ++i, ++next) {
            const StoredMessage message = ArchiveMessage(
                    next, QDateTime::fromMSecsSinceEpoch(lastMs - (end - 1 - next) * spacingMs));
            timer.start();
            const bool added = store.add(message);
            if (!added) {
                next = end;
                break;
            }
            ns.push_back(timer.nsecsElapsed());
        }
        if (next >= end)
            loop.quit();
    });
    // Between bursts the deferred pass has its few milliseconds, as it would between floods.
    burst.start(1);
    loop.exec();
    return ns;
}

bool FillArchive(MessageStore &store, int count)
{
    const bool filled = int(AddInBursts(store, 1, count, kSpacingMs).size()) == count;
    store.updateIndex();
    return filled;
}
