#include "isolatedresolver.h"

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

} // namespace

void IsolateResolver(const QByteArray &hosts)
{
    static QTemporaryDir dir; // lives as long as the child that mounted its files
    ASSERT_TRUE(dir.isValid());
    ASSERT_EQ(::unshare(CLONE_NEWNS), 0) << "cannot make a private mount namespace";
    ASSERT_EQ(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr), 0);
    PlaceOver(dir, "nsswitch.conf", "hosts: files\n", "/etc/nsswitch.conf");
    PlaceOver(dir, "hosts", hosts, "/etc/hosts");
}
