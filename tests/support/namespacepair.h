#pragma once

#include "childprocess.h"
#include "tools/udppeer.h"

#include <QByteArray>
#include <QByteArrayList>
#include <QByteArrayView>
#include <QDeadlineTimer>

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

// The path of the "ip" program (iproute2), looked for in sbin too; empty when there is none.
QByteArray IpProgram();

// Moves the calling thread into the named network namespace (one of HostNamespaces' hosts, or
// any other that "ip netns" made): the sockets it creates from then on belong to that host.
// Empty on success, else the reason.
std::string EnterNetworkNamespace(const QByteArray &namespaceName);

// A UDP socket of the named namespace, bound there to address and port, for a process that
// stays where it is. bound() is false when it could not be made so, and problem says why.
UdpPeer
UdpPeerIn(const QByteArray &namespaceName, const char *address, quint16 port, std::string *problem);

// Network namespaces standing for the hosts of one LAN: each host may bind the station's fixed
// port, and nothing reaches the machine's own network. Host i is the namespace
// "veltrin-<letter>-<pid>" ('a' for host 0) with the address 198.18.0.<i + 1>. Two hosts are
// joined by a veth pair; three or more are each joined by one to a bridge, the LAN's switch, in a
// namespace of its own ("veltrin-lan-<pid>"). The names come from the pid, so a process holds
// one set at a time. Leftovers of an earlier process with the same pid are removed first, and the
// destructor removes every namespace (and with them the links) however far construction got.
class HostNamespaces
{
public:
    enum class Status {
        Ready,
        Unavailable, // this machine cannot make them: not root, no "ip", no netns, veth or bridge
        Failed,      // they were made but could not be set up
    };
    static constexpr int kMaxHosts = 8;

    explicit HostNamespaces(int count); // 2 to kMaxHosts
    ~HostNamespaces();
    HostNamespaces(const HostNamespaces &) = delete;
    HostNamespaces &operator=(const HostNamespaces &) = delete;

    Status status() const { return m_status; }
    const std::string &problem() const { return m_problem; }
    int count() const { return int(m_hosts.size()); }

    QByteArray name(int host) const { return m_hosts.at(host).name; }
    QByteArray interfaceName(int host) const { return m_hosts.at(host).interfaceName; }
    QByteArray address(int host) const { return m_hosts.at(host).address; } // without prefix

    // Whether start() can give a program a host name of its own; the reason when not.
    bool canNameHosts(std::string *problem) const;

    // Starts program inside the host's namespace ("ip netns exec"; the program replaces "ip",
    // so killing the process kills the program). With a hostName, the program runs in a UTS
    // namespace of its own that carries it, and the machine's own name is left alone.
    bool start(int host,
               ChildProcess &process,
               const QByteArray &program,
               const QByteArrayList &arguments,
               std::string *problem,
               const QByteArray &hostName = {}) const;

    // Waits until every link reports carrier and a datagram has gone each way between every two
    // hosts, on a port other than the station's, so that the first datagram of a test is not
    // lost to a link still coming up.
    bool waitUntilConnected(QDeadlineTimer deadline, std::string *problem) const;

private:
    struct Host
    {
        QByteArray name;
        QByteArray interfaceName;
        QByteArray address;
        QByteArray switchPortName; // its link's end at the switch; empty without a switch
    };

    bool hasSwitch() const { return !m_switchName.isEmpty(); }
    void build();
    bool link(const Host &host);
    bool runIp(const QByteArrayList &arguments, std::string *problem) const;
    bool waitForCarrier(const QByteArray &namespaceName,
                        const QByteArray &interfaceName,
                        QDeadlineTimer deadline,
                        std::string *problem) const;
    void removeNamespaces() const;

    QByteArray m_ip;       // path of the "ip" program, empty when there is none
    QByteArray m_unshare;  // the same for "unshare"
    QByteArray m_shell;    // and "sh"
    QByteArray m_hostname; // and "hostname"
    std::vector<Host> m_hosts;
    QByteArray m_switchName;
    QByteArray m_bridgeName;
    Status m_status = Status::Failed;
    std::string m_problem;
};

// Two hosts, A (198.18.0.1) and B (198.18.0.2), joined by a veth pair.
class NamespacePair
{
public:
    enum class Side { A, B };
    using Status = HostNamespaces::Status;

    NamespacePair()
        : m_hosts(2)
    {}

    Status status() const { return m_hosts.status(); }
    const std::string &problem() const { return m_hosts.problem(); }

    QByteArray name(Side side) const { return m_hosts.name(index(side)); }
    QByteArray interfaceName(Side side) const { return m_hosts.interfaceName(index(side)); }
    QByteArray address(Side side) const { return m_hosts.address(index(side)); }

    bool start(Side side,
               ChildProcess &process,
               const QByteArray &program,
               const QByteArrayList &arguments,
               std::string *problem) const
    {
        return m_hosts.start(index(side), process, program, arguments, problem);
    }

    bool waitUntilConnected(QDeadlineTimer deadline, std::string *problem) const
    {
        return m_hosts.waitUntilConnected(deadline, problem);
    }

private:
    static int index(Side side) { return side == Side::A ? 0 : 1; }

    HostNamespaces m_hosts;
};
