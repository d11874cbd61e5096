#include "computername.h"

#include <unistd.h>

#include <climits>

namespace {

// The longest label a host name may have.
constexpr qsizetype kMaxComputerNameLength = 63;

} // namespace

QByteArray ComputerNetworkNameFrom(const QByteArray &hostName)
{
    QByteArray name = hostName;
    const qsizetype dot = name.indexOf('.');
    if (dot >= 0)
        name.truncate(dot);
    // The name starts every message key, so two computers must never share it: the whole label
    // is kept. Cutting it to a Windows computer name's 15 characters made accounting-pc-01 and
    // accounting-pc-02 one sender, whose second message the partner took for a repeat. A longer
    // value than a label can hold is not a host name the network knows; it is cut only so that
    // a message datagram still fits the 512 bytes a receiver reads.
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
