#include "resources/stationimages.h"

#include "resources/resources.h"

#include <QString>

#include <array>

QIcon StationImage(int index)
{
    static const std::array<QString, StationImages::Count> names = {
            QStringLiteral("0-settings.svg"),
            QStringLiteral("1-group.svg"),
            QStringLiteral("2-recipient.svg"),
            QStringLiteral("3-new-recipient.svg"),
            QStringLiteral("4-delete-recipient.svg"),
            QStringLiteral("5-membership.svg"),
            QStringLiteral("6-new-message.svg"),
            QStringLiteral("7-delete-message.svg"),
            QStringLiteral("8-about.svg"),
            QStringLiteral("9-help.svg"),
    };
    if (index < 0 || index >= StationImages::Count)
        return {};
    InitVeltrinResources();
    return QIcon(QStringLiteral(":/icons/") + names[std::size_t(index)]);
}

QIcon ProgramIcon()
{
    InitVeltrinResources();
    return QIcon(QStringLiteral(":/icons/veltrin.svg"));
}
