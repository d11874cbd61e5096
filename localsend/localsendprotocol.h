#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

class LocalConnection;

#include <optional>

// What veltrin-send asks of a running station and what the station answers. Every piece travels
// as one frame: four bytes of length (big-endian), then that many bytes. Texts are the
// station's Windows-1250 bytes.

// The longest text the compose dialog lets through, line breaks counted as CR LF.
inline constexpr qsizetype kMaxMessageBodyLength = 400;
// A host name cannot be longer than DNS allows; more recipients than this is no script's need.
inline constexpr qsizetype kMaxHostLength = 255;
inline constexpr qsizetype kMaxRecipients = 256;
// Larger than any valid request, so a frame above it is refused before it is read.
inline constexpr quint32 kMaxLocalFrameLength = 128 * 1024;

// The socket under the user's runtime directory ($XDG_RUNTIME_DIR, or the private directory
// Qt makes in its place), which nobody else can enter.
QString LocalSendSocketPath();

// Whether the other end of a connected local socket runs as this process's user, by the
// kernel's word. The socket's directory already keeps others out; this makes sure, both for the
// station taking a request and for a start asking the running station to show itself.
bool IsSameUser(const LocalConnection &connection);

struct LocalSendRequest
{
    std::optional<QByteArray> ident; // absent: the station's own IDENT
    QByteArrayList hosts;            // one copy each, in this order
    QByteArray body;                 // line breaks as CR LF
};

// Why the request cannot be sent as it is (Windows-1250 text for the user), or nothing. Both
// sides check: a text the partner would read differently never reaches the wire.
std::optional<QByteArray> RequestProblem(const LocalSendRequest &request);
std::optional<QByteArray> HostProblem(const QByteArray &host);
std::optional<QByteArray> IdentProblem(const QByteArray &ident);
std::optional<QByteArray> BodyProblem(const QByteArray &body);

struct LocalSendReply
{
    enum class Kind : quint8 { Accepted = 1, Refused = 2, Outcome = 3 };
    Kind kind = Kind::Refused;
    quint32 index = 0; // Outcome: which copy, in the request's order
    bool confirmed = false;
    QByteArray text; // Refused: why; Outcome: the error text of a copy given up
};

QByteArray EncodeRequestFrame(const LocalSendRequest &request);
// The frame's payload; nothing when it is not a well-formed request.
std::optional<LocalSendRequest> DecodeRequest(const QByteArray &payload);

// A second start of the station asks the running one to bring its window up instead of
// starting again. The request has a magic of its own, so a sender's requests stay as they were
// and a station that does not know it refuses it as not well-formed.
QByteArray EncodeShowWindowFrame();
bool IsShowWindowRequest(const QByteArray &payload);

QByteArray EncodeReplyFrame(const LocalSendReply &reply);
std::optional<LocalSendReply> DecodeReply(const QByteArray &payload);

// Cuts a byte stream into frames.
class FrameReader
{
public:
    void append(const QByteArray &bytes) { m_buffer.append(bytes); }
    // The next whole frame's payload, if one has arrived.
    std::optional<QByteArray> next();
    // A frame announced itself longer than kMaxLocalFrameLength; the stream is unusable.
    bool overlong() const { return m_overlong; }

private:
    QByteArray m_buffer;
    bool m_overlong = false;
};
