#include "isolatedresolver.h"

#include "tools/udppeer.h"

#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <sched.h>
#include <sys/mount.h>

namespace {

void PlaceOver(const QTemporaryDir &dir,
               const char *name,
               const QByteArray &content,
               const char *target)
{
    QFile file(dir.filePath(QString::fromLatin1(name)));
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();
    ASSERT_EQ(::mount(file.fileName().toLocal8Bit().constData(), target, nullptr, MS_BIND, nullptr),
              0)
            << "cannot bind-mount over " << target;
}

void Isolate(const QByteArray &hosts, const QByteArray &nsswitch, const QByteArray &resolvConf)
{
    static QTemporaryDir dir; // lives as long as the child that mounted its files
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << "cannot make a private mount namespace";
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    PlaceOver(dir, "nsswitch.conf", nsswitch, "/etc/nsswitch.conf");
    PlaceOver(dir, "hosts", hosts, "/etc/hosts");
    if (!resolvConf.isNull())
        PlaceOver(dir, "resolv.conf", resolvConf, "/etc/resolv.conf");
}

} // namespace

void IsolateResolver(const QByteArray &hosts)
{
    Isolate(hosts, "hosts: files\n", QByteArray());
}

void IsolateResolverWithStuckNameServer(const QByteArray &hosts)
{
    // Bound and never read: the queries wait in its buffer and nobody answers them.
    static const UdpPeer nameServer("127.0.0.1", 53);
    ASSERT_TRUE(nameServer.bound()) << "cannot hold the name server's port";
    Isolate(hosts, "hosts: files dns\n", "nameserver 127.0.0.1\n");
}
