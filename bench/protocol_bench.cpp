#include "core/protocol.h"

#include <QElapsedTimer>

#include <cstdio>

// Cutting a received datagram into its fields, against a plain copy of the same bytes as the
// floor: the figures and their ratio are printed side by side.
int main()
{
    const QByteArray datagram = "=PC7~12|Reception|" + QByteArray(400, 'x') + "|tail";
    constexpr int kRounds = 200000;

    qint64 checksum = 0;
    QElapsedTimer timer;
    timer.start();
    for (int i = 0; i < kRounds; ++i) {
        const QByteArray text = DatagramText(datagram);
        checksum += ParseKey(text).size() + ParseIdent(text).size() + ParseBody(text).size();
    }
    const qint64 parseNs = timer.nsecsElapsed();

    timer.restart();
    for (int i = 0; i < kRounds; ++i) {
        QByteArray copy(datagram.constData(), datagram.size());
        checksum += copy.size();
    }
    const qint64 copyNs = timer.nsecsElapsed();

    std::printf("%-28s %12s %12s\n", "operation", "ns/datagram", "ratio");
    std::printf("%-28s %12.1f %12.2f\n",
                "parse key, ident, body",
                double(parseNs) / kRounds,
                double(parseNs) / double(copyNs));
    std::printf("%-28s %12.1f %12.2f\n", "copy of the datagram", double(copyNs) / kRounds, 1.0);
    std::printf("(checksum %lld)\n", static_cast<long long>(checksum));
    return 0;
}
