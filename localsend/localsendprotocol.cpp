#include "localsendprotocol.h"
#include "localconnection.h"
#include "unixsocketcalls.h"

#include "core/settings.h"
#include "platform/codepage.h"

#include <QDataStream>
#include <QDir>
#include <QFile>
#include <QIODevice>
#include <QStandardPaths>
#include <QtEndian>

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

constexpr quint32 kRequestMagic = 0x56534e44; // "VSND"
constexpr quint8 kRequestVersion = 1;
constexpr quint32 kShowWindowMagic = 0x56534857; // "VSHW"
constexpr quint8 kShowWindowVersion = 1;
constexpr qsizetype kFrameHeaderLength = 4;
constexpr char kSocketFileName[] = "veltrin-send";

QByteArray Text(QStringView czech)
{
    return EncodeWindows1250(czech);
}

QByteArray Frame(const QByteArray &payload)
{
    QByteArray frame(kFrameHeaderLength, '\0');
    qToBigEndian(quint32(payload.size()), frame.data());
    return frame + payload;
}

void UseFixedFormat(QDataStream &stream)
{
    stream.setVersion(QDataStream::Qt_6_4);
    stream.setByteOrder(QDataStream::BigEndian);
}

bool HasControlByte(const QByteArray &text)
{
    return std::any_of(text.begin(), text.end(), [](char c) {
        return static_cast<unsigned char>(c) < 0x20 || c == '\x7f';
    });
}

// <temp>/runtime-<user>, made with mode 0700 if missing, as Qt names it; nothing when it is
// not a directory of this user's that only this user can enter.
QString PrivateTemporaryDirectory()
{
    const passwd *user = ::getpwuid(::geteuid());
    const QByteArray name
            = user && user->pw_name ? QByteArray(user->pw_name) : QByteArray::number(::geteuid());
    const QByteArray path = QFile::encodeName(QDir::tempPath()) + "/runtime-" + name;
    if (::mkdir(path.constData(), S_IRWXU) != 0 && errno != EEXIST)
        return {};
    struct stat status = {};
    if (::lstat(path.constData(), &status) != 0 || !S_ISDIR(status.st_mode)
        || status.st_uid != ::geteuid() || (status.st_mode & (S_IRWXG | S_IRWXO)) != 0) {
        return {};
    }
    return QFile::decodeName(path);
}

} // namespace

QString LocalSendSocketPath()
{
    QString directory;
    if (qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")) {
        // A job started by cron has no XDG_RUNTIME_DIR, while the station in the user's desktop
        // session has it at /run/user/<uid>: both must find the same socket.
        const QByteArray sessionDirectory = "/run/user/" + QByteArray::number(::geteuid());
        struct stat status = {};
        if (::stat(sessionDirectory.constData(), &status) == 0 && S_ISDIR(status.st_mode)
            && status.st_uid == ::geteuid() && (status.st_mode & (S_IRWXG | S_IRWXO)) == 0) {
            directory = QFile::decodeName(sessionDirectory);
        }
    }
    if (directory.isEmpty()) {
        // Without XDG_RUNTIME_DIR Qt says so on standard error each time it is asked, and cron
        // mails every such word: the same private directory Qt would use is made here quietly.
        directory = qEnvironmentVariableIsEmpty("XDG_RUNTIME_DIR")
                            ? PrivateTemporaryDirectory()
                            : QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
    }
    if (directory.isEmpty())
        directory = QDir::tempPath(); // Qt found no private directory; the socket's mode still is
    return QDir(directory).filePath(QString::fromLatin1(kSocketFileName));
}

std::optional<QByteArray> HostProblem(const QByteArray &host)
{
    if (host.isEmpty())
        return Text(u"Adresa příjemce je prázdná.");
    if (host.size() > kMaxHostLength)
        return Text(u"Adresa příjemce je delší než 255 znaků.");
    if (HasControlByte(host) || host.contains(' '))
        return Text(u"Adresa příjemce obsahuje mezeru nebo řídicí znak.");
    // They would split the partner text "name <host>" of the sent table, or a datagram.
    for (const char reserved : {'<', '>', '|', '~'}) {
        if (host.contains(reserved))
            return Text(u"Adresa příjemce nesmí obsahovat znaky < > | ~.");
    }
    return std::nullopt;
}

std::optional<QByteArray> IdentProblem(const QByteArray &ident)
{
    if (ident.size() > kMaxIdentLength)
        return Text(u"Jméno odesílatele smí mít nejvýš 32 znaků.");
    // A "|" would end the name early at the receiver and move the rest into the text; "<" and
    // ">" would break the receiver's partner text, which its replies are addressed by.
    if (HasControlByte(ident) || ident.contains('|') || ident.contains('<') || ident.contains('>'))
        return Text(u"Jméno odesílatele nesmí obsahovat znaky | < > ani řídicí znaky.");
    return std::nullopt;
}

std::optional<QByteArray> BodyProblem(const QByteArray &body)
{
    if (body.isEmpty())
        return Text(u"Zpráva je prázdná.");
    if (body.size() > kMaxMessageBodyLength)
        return Text(u"Zpráva je delší než 400 znaků (konec řádku se počítá za dva).");
    // The receiver's text ends at the first zero byte: the rest would be lost without a word.
    if (body.contains('\0'))
        return Text(u"Zpráva obsahuje nulový znak.");
    return std::nullopt;
}

std::optional<QByteArray> RequestProblem(const LocalSendRequest &request)
{
    if (request.hosts.isEmpty())
        return Text(u"Chybí příjemce.");
    if (request.hosts.size() > kMaxRecipients)
        return Text(u"Příjemců je víc než 256.");
    for (const QByteArray &host : request.hosts) {
        if (auto problem = HostProblem(host))
            return problem;
    }
    if (request.ident) {
        if (auto problem = IdentProblem(*request.ident))
            return problem;
    }
    return BodyProblem(request.body);
}

QByteArray EncodeRequestFrame(const LocalSendRequest &request)
{
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    UseFixedFormat(stream);
    stream << kRequestMagic << kRequestVersion << bool(request.ident)
           << request.ident.value_or(QByteArray()) << quint32(request.hosts.size());
    for (const QByteArray &host : request.hosts)
        stream << host;
    stream << request.body;
    return Frame(payload);
}

std::optional<LocalSendRequest> DecodeRequest(const QByteArray &payload)
{
    QDataStream stream(payload);
    UseFixedFormat(stream);
    quint32 magic = 0;
    quint8 version = 0;
    bool hasIdent = false;
    QByteArray ident;
    quint32 hostCount = 0;
    stream >> magic >> version >> hasIdent >> ident >> hostCount;
    if (stream.status() != QDataStream::Ok || magic != kRequestMagic || version != kRequestVersion
        || hostCount > quint32(kMaxRecipients)) {
        return std::nullopt;
    }
    LocalSendRequest request;
    if (hasIdent)
        request.ident = ident;
    for (quint32 i = 0; i < hostCount; ++i) {
        QByteArray host;
        stream >> host;
        request.hosts.append(host);
    }
    stream >> request.body;
    if (stream.status() != QDataStream::Ok || !stream.atEnd())
        return std::nullopt;
    return request;
}

QByteArray EncodeShowWindowFrame()
{
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    UseFixedFormat(stream);
    stream << kShowWindowMagic << kShowWindowVersion;
    return Frame(payload);
}

bool IsShowWindowRequest(const QByteArray &payload)
{
    QDataStream stream(payload);
    UseFixedFormat(stream);
    quint32 magic = 0;
    quint8 version = 0;
    stream >> magic >> version;
    return stream.status() == QDataStream::Ok && stream.atEnd() && magic == kShowWindowMagic
           && version == kShowWindowVersion;
}

QByteArray EncodeReplyFrame(const LocalSendReply &reply)
{
    QByteArray payload;
    QDataStream stream(&payload, QIODevice::WriteOnly);
    UseFixedFormat(stream);
    stream << quint8(reply.kind) << reply.index << reply.confirmed << reply.text;
    return Frame(payload);
}

std::optional<LocalSendReply> DecodeReply(const QByteArray &payload)
{
    QDataStream stream(payload);
    UseFixedFormat(stream);
    quint8 kind = 0;
    LocalSendReply reply;
    stream >> kind >> reply.index >> reply.confirmed >> reply.text;
    if (stream.status() != QDataStream::Ok || !stream.atEnd()
        || kind < quint8(LocalSendReply::Kind::Accepted)
        || kind > quint8(LocalSendReply::Kind::Outcome)) {
        return std::nullopt;
    }
    reply.kind = LocalSendReply::Kind(kind);
    return reply;
}

std::optional<QByteArray> FrameReader::next()
{
    if (m_overlong || m_buffer.size() < kFrameHeaderLength)
        return std::nullopt;
    const quint32 length = qFromBigEndian<quint32>(m_buffer.constData());
    if (length > kMaxLocalFrameLength) {
        m_overlong = true;
        m_buffer.clear();
        return std::nullopt;
    }
    if (m_buffer.size() < kFrameHeaderLength + qsizetype(length))
        return std::nullopt;
    QByteArray payload = m_buffer.mid(kFrameHeaderLength, length);
    m_buffer.remove(0, kFrameHeaderLength + qsizetype(length));
    return payload;
}

bool IsSameUser(const LocalConnection &connection)
{
    const std::optional<uid_t> peer = UnixSocketCalls::PeerUser(connection.descriptor());
    return peer && *peer == ::geteuid();
}
