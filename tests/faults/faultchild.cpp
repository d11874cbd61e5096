#include "faultchild.h"

#include "support/namespacepair.h"
#include "tools/loopback.h"

#include <QFile>

#include <fcntl.h>
#include <grp.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace {

std::string ErrnoText(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

} // namespace

PrivateNetworkResult RunInFaultChild(const std::function<std::string()> &prepare,
                                     const std::function<void()> &body,
                                     int timeoutSeconds)
{
    return RunInPreparedChild(prepare, body, timeoutSeconds);
}

std::string PreparePrivateMountsAndNetwork()
{
    if (::unshare(CLONE_NEWNS | CLONE_NEWNET) != 0)
        return ErrnoText("cannot create private mount and network namespaces (needs root)");
    // Without this, a mount made here would propagate back to the machine's namespace.
    if (::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return ErrnoText("cannot make the private mounts private");
    if (!BringLoopbackUp())
        return ErrnoText("cannot bring lo up in the private network namespace");
    return {};
}

std::function<std::string()> PrepareInsideNetworkNamespace(const QByteArray &namespaceName)
{
    // The child has no other thread yet, so the whole of it moves.
    return [namespaceName] {
        return EnterNetworkNamespace(namespaceName);
    };
}

std::string MountScratchFileSystem(const QString &directory, qint64 bytes)
{
    const QByteArray target = QFile::encodeName(directory);
    const QByteArray options = "size=" + QByteArray::number(bytes) + ",mode=0777";
    if (::mount("veltrin-scratch", target.constData(), "tmpfs", 0, options.constData()) != 0)
        return ErrnoText("cannot mount a tmpfs at " + target.toStdString());
    return {};
}

std::string RemountReadOnly(const QString &directory)
{
    const QByteArray target = QFile::encodeName(directory);
    if (::mount(nullptr, target.constData(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr) != 0)
        return ErrnoText("cannot make " + target.toStdString() + " read-only");
    return {};
}

qint64 FillFileSystem(const QString &directory)
{
    const QByteArray path = QFile::encodeName(directory + QStringLiteral("/filler"));
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    const std::string block(4096, 'x');
    qint64 total = 0;
    for (;;) {
        const ssize_t n = ::write(fd, block.data(), block.size());
        if (n <= 0)
            break;
        total += n;
    }
    // A block that did not fit whole may still leave a few bytes free; they go one by one.
    while (::write(fd, "x", 1) == 1)
        ++total;
    ::close(fd);
    return total;
}

std::string DropToNobody()
{
    constexpr uid_t kNobody = 65534;
    if (::setgroups(0, nullptr) != 0)
        return ErrnoText("cannot drop the supplementary groups");
    if (::setresgid(kNobody, kNobody, kNobody) != 0)
        return ErrnoText("cannot become group nobody");
    if (::setresuid(kNobody, kNobody, kNobody) != 0)
        return ErrnoText("cannot become user nobody");
    return {};
}
