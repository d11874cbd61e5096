#pragma once

#include <QByteArray>
#include <QObject>

#include <memory>
#include <set>

// Looks host names up with the system's resolver (getaddrinfo: /etc/hosts, DNS, mDNS or
// whatever else the system's name service is configured with decides) on threads of its own,
// and announces each answer on the thread that owns it. The owner's thread never waits for a
// name server: one that never answers holds up only the lookups of its own names, since every
// name in flight has a thread of its own, up to kMaxThreads at a time.
class HostResolver : public QObject
{
    Q_OBJECT

public:
    explicit HostResolver(QObject *parent = nullptr);
    // Lookups still running are abandoned: their threads end on their own and nobody hears.
    ~HostResolver() override;

    // Starts looking host up, unless a lookup of it is already under way; resolved() follows.
    void lookUp(const QByteArray &host);

Q_SIGNALS:
    // address is dotted IPv4 text; it is empty when the lookup failed, and errorCode then gives
    // the failure in the Windows Sockets numbering (11001 for a name not found).
    void resolved(const QByteArray &host, const QByteArray &address, int errorCode);

private:
    static constexpr int kMaxThreads = 16;

    struct Shared;

    void answer(const QByteArray &host, const QByteArray &address, int errorCode);

    std::shared_ptr<Shared> m_shared;
    std::set<QByteArray> m_inFlight;
};
