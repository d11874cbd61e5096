#include "computername.h"

#include <unistd.h>

#include <climits>

namespace {

constexpr qsizetype kMaxComputerNameLength = 15;

} // namespace

QByteArray ComputerNetworkNameFrom(const QByteArray &hostName)
{
    QByteArray name = hostName;
    const qsizetype dot = name.indexOf('.');
    if (dot >= 0)
        name.truncate(dot);
    // Linux host names often exceed the Windows limit; cutting them keeps such a station
    // startable, and keys stay unique enough because the row ID follows the name.
    name.truncate(kMaxComputerNameLength);
    return name;
}

QByteArray ComputerNetworkName()
{
    char buffer[HOST_NAME_MAX + 1] = {};
    if (::gethostname(buffer, sizeof buffer - 1) != 0)
        return {};
    return ComputerNetworkNameFrom(QByteArray(buffer));
}
