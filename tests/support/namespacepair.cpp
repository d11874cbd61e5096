#include "namespacepair.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace {

// How often a link that is not up yet is looked at again.
constexpr int kLinkPollMs = 50;
// Setting up a namespace is a handful of quick "ip" calls; one that takes longer is stuck.
constexpr int kIpTimeoutMs = 10000;
// Any port but the station's; the namespaces are new, so nothing else can hold it.
constexpr quint16 kProbePort = 34800;
constexpr int kProbeResendMs = 200;
// Every test address lies in 198.18.0.0/15, set aside for testing networks, so that nothing a
// test sends can be meant for a real host.
constexpr char kAddressPrefix[] = "198.18.0.";

std::string ErrnoText(const char *what, int error)
{
    return std::string(what) + ": " + std::strerror(error);
}

std::string ToStd(const QByteArray &bytes)
{
    return bytes.toStdString();
}

int PollTimeout(QDeadlineTimer deadline, int cap)
{
    const qint64 remaining = deadline.remainingTime();
    if (remaining < 0)
        return cap;
    return static_cast<int>(std::min<qint64>(remaining, cap < 0 ? remaining : cap));
}

QByteArray FindProgram(const QByteArray &name)
{
    // "ip" lives in sbin, which a test runner's PATH does not always contain.
    QByteArrayList directories = qgetenv("PATH").split(':');
    directories << "/usr/sbin"
                << "/sbin"
                << "/usr/bin"
                << "/bin";
    for (const QByteArray &directory : std::as_const(directories)) {
        if (directory.isEmpty())
            continue;
        const QByteArray candidate = directory + '/' + name;
        if (::access(candidate.constData(), X_OK) == 0)
            return candidate;
    }
    return {};
}

// Where "ip netns add" keeps a namespace alive: /run/netns on current systems, /var/run/netns
// (mostly a link to it) on older ones.
QByteArray NamespaceFile(const QByteArray &namespaceName)
{
    for (const char *directory : {"/run/netns/", "/var/run/netns/"}) {
        const QByteArray path = directory + namespaceName;
        if (::access(path.constData(), F_OK) == 0)
            return path;
    }
    return "/run/netns/" + namespaceName;
}

// Sends from one probe socket to the other until a probe arrives from the expected address.
bool ProbeOneWay(const UdpPeer &from,
                 const QByteArray &fromAddress,
                 const UdpPeer &to,
                 const QByteArray &toAddress,
                 QDeadlineTimer deadline,
                 std::string *problem)
{
    const QByteArray probe = "veltrin link probe";
    const std::string direction = ToStd(fromAddress) + " -> " + ToStd(toAddress);
    do {
        if (!from.sendTo(toAddress.constData(), kProbePort, probe)) {
            *problem = ErrnoText(("probe " + direction + ": send failed").c_str(), errno);
            return false;
        }
        const std::optional<UdpPeer::Datagram> arrived
                = to.receive(PollTimeout(deadline, kProbeResendMs));
        if (arrived && arrived->data == probe && arrived->senderIP == fromAddress)
            return true;
    } while (!deadline.hasExpired());
    *problem = "probe " + direction + ": no datagram arrived in time";
    return false;
}

} // namespace

QByteArray IpProgram()
{
    return FindProgram("ip");
}

std::string EnterNetworkNamespace(const QByteArray &namespaceName)
{
    const QByteArray path = NamespaceFile(namespaceName);
    const int namespaceFd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
    if (namespaceFd < 0)
        return ErrnoText(("cannot open " + ToStd(path)).c_str(), errno);
    const bool entered = ::setns(namespaceFd, CLONE_NEWNET) == 0;
    const int error = errno;
    ::close(namespaceFd);
    if (!entered)
        return ErrnoText(("cannot enter " + ToStd(path)).c_str(), error);
    return {};
}

// A socket belongs to the namespace it was created in, wherever it is used later, so a
// short-lived thread enters the namespace just to create it and the rest of the process stays
// where it is.
UdpPeer
UdpPeerIn(const QByteArray &namespaceName, const char *address, quint16 port, std::string *problem)
{
    std::optional<UdpPeer> peer;
    std::string failure;
    std::thread([&] {
        failure = EnterNetworkNamespace(namespaceName);
        if (!failure.empty())
            return;
        peer.emplace(address, port);
        if (!peer->bound()) {
            const std::string where = std::string(address) + ':' + std::to_string(port);
            failure = ErrnoText(("cannot bind " + where).c_str(), errno);
        }
    }).join();
    if (!failure.empty())
        *problem = ToStd(namespaceName) + ": " + failure;
    // Without the namespace there is no socket of it to give; an unbound one says so as well.
    return peer ? std::move(*peer) : UdpPeer();
}

HostNamespaces::HostNamespaces(int count)
{
    const QByteArray pid = QByteArray::number(::getpid());
    count = std::clamp(count, 2, kMaxHosts);
    for (int i = 0; i < count; ++i) {
        const char letter = char('a' + i);
        m_hosts.push_back({"veltrin-" + QByteArray(1, letter) + '-' + pid,
                           "vlt-" + QByteArray(1, letter) + '-' + pid,
                           kAddressPrefix + QByteArray::number(i + 1),
                           {}});
    }
    if (count > 2) {
        m_switchName = "veltrin-lan-" + pid;
        m_bridgeName = "vlt-br-" + pid;
        for (Host &host : m_hosts)
            host.switchPortName = "vlt-s" + host.interfaceName.mid(4);
    }
    m_ip = IpProgram();
    m_unshare = FindProgram("unshare");
    m_shell = FindProgram("sh");
    m_hostname = FindProgram("hostname");
    build();
}

HostNamespaces::~HostNamespaces()
{
    removeNamespaces();
}

void HostNamespaces::build()
{
    if (::geteuid() != 0) {
        m_status = Status::Unavailable;
        m_problem = "network namespaces can only be made by root";
        return;
    }
    if (m_ip.isEmpty()) {
        m_status = Status::Unavailable;
        m_problem = "the \"ip\" program (iproute2) is not installed";
        return;
    }
    // A process of the same pid that was killed left its namespaces behind.
    removeNamespaces();

    std::string failure;
    std::vector<QByteArray> namespaces;
    for (const Host &host : m_hosts)
        namespaces.push_back(host.name);
    if (hasSwitch())
        namespaces.push_back(m_switchName);
    for (const QByteArray &name : namespaces) {
        if (!runIp({"netns", "add", name}, &failure)) {
            m_status = Status::Unavailable;
            m_problem = "network namespaces are not supported here: " + failure;
            return;
        }
    }
    if (hasSwitch()
        && !runIp({"-n", m_switchName, "link", "add", m_bridgeName, "type", "bridge"}, &failure)) {
        m_status = Status::Unavailable;
        m_problem = "bridges are not supported here: " + failure;
        return;
    }
    if (hasSwitch() && !runIp({"-n", m_switchName, "link", "set", m_bridgeName, "up"}, &failure)) {
        m_status = Status::Failed;
        m_problem = "cannot set up the switch " + ToStd(m_switchName) + ": " + failure;
        return;
    }
    if (hasSwitch()) {
        for (const Host &host : m_hosts) {
            if (!link(host))
                return;
        }
    } else if (!link(m_hosts.front())) {
        return;
    }
    // A pair is a network of its own; a switched LAN holds every host in one.
    const QByteArray prefixLength = hasSwitch() ? "/24" : "/30";
    for (const Host &host : m_hosts) {
        if (!runIp({"-n",
                    host.name,
                    "addr",
                    "add",
                    host.address + prefixLength,
                    "dev",
                    host.interfaceName},
                   &failure)
            || !runIp({"-n", host.name, "link", "set", "lo", "up"}, &failure)
            || !runIp({"-n", host.name, "link", "set", host.interfaceName, "up"}, &failure)) {
            m_status = Status::Failed;
            m_problem = "cannot set up namespace " + ToStd(host.name) + ": " + failure;
            return;
        }
    }
    m_status = Status::Ready;
    m_problem.clear();
}

// Joins host to the switch, or without one the first host to the second. Each end is created
// right inside its namespace, so no link ever appears in the machine's own network.
bool HostNamespaces::link(const Host &host)
{
    const QByteArray peerInterface
            = hasSwitch() ? host.switchPortName : m_hosts.at(1).interfaceName;
    const QByteArray peerNamespace = hasSwitch() ? m_switchName : m_hosts.at(1).name;
    std::string failure;
    if (!runIp({"link",
                "add",
                host.interfaceName,
                "netns",
                host.name,
                "type",
                "veth",
                "peer",
                "name",
                peerInterface,
                "netns",
                peerNamespace},
               &failure)) {
        m_status = Status::Unavailable;
        m_problem = "veth pairs are not supported here: " + failure;
        return false;
    }
    if (hasSwitch()
        && !runIp({"-n", m_switchName, "link", "set", peerInterface, "master", m_bridgeName, "up"},
                  &failure)) {
        m_status = Status::Failed;
        m_problem = "cannot plug " + ToStd(host.name) + " into the switch: " + failure;
        return false;
    }
    return true;
}

bool HostNamespaces::runIp(const QByteArrayList &arguments, std::string *problem) const
{
    const std::string command = "ip " + ToStd(arguments.join(' '));
    ChildProcess ip;
    std::string failure;
    if (!ip.start(m_ip, arguments, &failure)) {
        *problem = command + ": " + failure;
        return false;
    }
    if (!ip.waitForFinished(QDeadlineTimer(kIpTimeoutMs))) {
        *problem = command + ": did not finish within " + std::to_string(kIpTimeoutMs) + " ms";
        return false;
    }
    if (ip.exitCode() != 0) {
        *problem = command + ": " + ip.describe();
        return false;
    }
    return true;
}

bool HostNamespaces::canNameHosts(std::string *problem) const
{
    for (const auto &[path, name] : {std::pair{&m_unshare, "unshare (util-linux)"},
                                     std::pair{&m_shell, "sh"},
                                     std::pair{&m_hostname, "hostname"}}) {
        if (path->isEmpty()) {
            *problem = std::string("the \"") + name + "\" program is not installed";
            return false;
        }
    }
    return true;
}

bool HostNamespaces::start(int host,
                           ChildProcess &process,
                           const QByteArray &program,
                           const QByteArrayList &arguments,
                           std::string *problem,
                           const QByteArray &hostName) const
{
    if (m_status != Status::Ready) {
        *problem = "the namespaces are not ready: " + m_problem;
        return false;
    }
    QByteArrayList command{"netns", "exec", m_hosts.at(host).name};
    if (!hostName.isEmpty()) {
        if (!canNameHosts(problem))
            return false;
        // "ip netns exec" leaves the UTS namespace shared, so the name is set only behind
        // "unshare"; should that fail, the shell never runs. Every step replaces the one before
        // it, so the program keeps the process.
        command << m_unshare << "--uts" << m_shell << "-c"
                << "\"$1\" \"$2\" && shift 2 && exec \"$@\""
                << "sh" << m_hostname << hostName;
    }
    return process.start(m_ip, command + QByteArrayList{program} + arguments, problem);
}

bool HostNamespaces::waitForCarrier(const QByteArray &namespaceName,
                                    const QByteArray &interfaceName,
                                    QDeadlineTimer deadline,
                                    std::string *problem) const
{
    const QByteArrayList show{"-n", namespaceName, "-o", "link", "show", "dev", interfaceName};
    QByteArray lastState;
    do {
        ChildProcess ip;
        std::string failure;
        if (!ip.start(m_ip, show, &failure)) {
            *problem = failure;
            return false;
        }
        if (ip.waitForFinished(deadline) && ip.exitCode() == 0) {
            lastState = ip.standardOutput().trimmed();
            if (lastState.contains("LOWER_UP") && lastState.contains(" state UP "))
                return true;
        }
        // The link state changes without notice here; looking again soon is all there is.
        std::this_thread::sleep_for(std::chrono::milliseconds(PollTimeout(deadline, kLinkPollMs)));
    } while (!deadline.hasExpired());
    *problem = ToStd(interfaceName) + " in " + ToStd(namespaceName)
               + " did not come up in time; last state: " + ToStd(lastState);
    return false;
}

bool HostNamespaces::waitUntilConnected(QDeadlineTimer deadline, std::string *problem) const
{
    if (m_status != Status::Ready) {
        *problem = "the namespaces are not ready: " + m_problem;
        return false;
    }
    for (const Host &host : m_hosts) {
        if (!waitForCarrier(host.name, host.interfaceName, deadline, problem))
            return false;
        if (hasSwitch() && !waitForCarrier(m_switchName, host.switchPortName, deadline, problem))
            return false;
    }

    std::vector<UdpPeer> sockets;
    for (const Host &host : m_hosts) {
        // Binding to the host's own address also proves the socket is on the right host.
        std::string failure;
        UdpPeer socket = UdpPeerIn(host.name, host.address.constData(), kProbePort, &failure);
        if (!socket.bound()) {
            *problem = "cannot make a probe socket: " + failure;
            return false;
        }
        sockets.push_back(std::move(socket));
    }
    for (std::size_t from = 0; from < m_hosts.size(); ++from) {
        for (std::size_t to = 0; to < m_hosts.size(); ++to) {
            if (from != to
                && !ProbeOneWay(sockets[from],
                                m_hosts[from].address,
                                sockets[to],
                                m_hosts[to].address,
                                deadline,
                                problem)) {
                return false;
            }
        }
    }
    return true;
}

void HostNamespaces::removeNamespaces() const
{
    if (m_ip.isEmpty() || ::geteuid() != 0)
        return;
    // Deleting a namespace takes the veth ends inside it, and with them the other ends. None
    // may exist (construction stopped early, or nothing was left over), so failures mean nothing.
    // The switch goes too when this is only a pair: a process of the same pid may have had one.
    QByteArrayList names;
    for (auto host = m_hosts.crbegin(); host != m_hosts.crend(); ++host)
        names << host->name;
    names << "veltrin-lan-" + QByteArray::number(::getpid());
    for (const QByteArray &name : std::as_const(names)) {
        std::string ignored;
        runIp({"netns", "delete", name}, &ignored);
    }
}
