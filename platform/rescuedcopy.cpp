#include "rescuedcopy.h"

#include "codepage.h"
#include "error.h"

#include <QFile>
#include <QFileInfo>

namespace {

// A dangling link still holds its name, and renaming onto it would replace it.
bool NameTaken(const QString &path)
{
    const QFileInfo info(path);
    return info.exists() || info.isSymLink();
}

} // namespace

QString MoveAsideAsRescuedCopy(const QString &path)
{
    // Gone meanwhile, there is nothing left to protect.
    if (!QFileInfo::exists(path))
        return {};
    const QString first = path + QStringLiteral(".bak");
    QString backup = first;
    for (int number = 1; NameTaken(backup); ++number) {
        if (number > kMostRescuedCopies)
            throw Error(EncodeWindows1250(u"Nelze přejmenovat nečitelný soubor ")
                        + PathToWindows1250(path)
                        + EncodeWindows1250(u": příliš mnoho záložních kopií ")
                        + PathToWindows1250(first));
        backup = first + QString::number(number);
    }
    if (!QFile::rename(path, backup))
        throw Error(EncodeWindows1250(u"Nelze přejmenovat nečitelný soubor ")
                    + PathToWindows1250(path) + EncodeWindows1250(u" na ")
                    + PathToWindows1250(backup));
    return backup;
}
