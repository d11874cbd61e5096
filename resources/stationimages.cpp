#include "resources/stationimages.h"

#include "resources/pngfilesiconengine.h"
#include "resources/resources.h"

#include <QCoreApplication>
#include <QString>

#include <array>
#include <initializer_list>

namespace {

constexpr std::array<const char *, StationImages::Count> kImageNames = {
        "0-settings",
        "1-group",
        "2-recipient",
        "3-new-recipient",
        "4-delete-recipient",
        "5-membership",
        "6-new-message",
        "7-delete-message",
        "8-about",
        "9-help",
};
constexpr std::initializer_list<int> kImageSizes = {VELTRIN_IMAGE_SIZES};
constexpr std::initializer_list<int> kProgramIconSizes = {VELTRIN_PROGRAM_ICON_SIZES};

QIcon IconOfDrawnSizes(const char *name, std::initializer_list<int> sizes)
{
    InitVeltrinResources();
    std::map<int, QString> files;
    for (const int size : sizes)
        files[size] = QStringLiteral(":/icons/%1x%1/%2.png").arg(size).arg(QLatin1String(name));
    return IconFromPngFiles(std::move(files));
}

// The icons are made once and shared: the tree asks for its row images at every repaint. They
// go with the application object, before the toolkit they belong to is gone.
struct IconCache
{
    static IconCache &instance()
    {
        static IconCache cache;
        return cache;
    }

    QIcon &stored(QIcon &slot, const char *name, std::initializer_list<int> sizes)
    {
        if (slot.isNull()) {
            slot = IconOfDrawnSizes(name, sizes);
            if (!m_clearsWithApplication) {
                qAddPostRoutine([] { instance().clear(); });
                m_clearsWithApplication = true;
            }
        }
        return slot;
    }

    std::array<QIcon, StationImages::Count> images;
    QIcon program;

private:
    void clear()
    {
        images.fill(QIcon());
        program = QIcon();
        m_clearsWithApplication = false;
    }

    bool m_clearsWithApplication = false;
};

} // namespace

QIcon IconFromPngFiles(std::map<int, QString> files)
{
    return QIcon(new PngFilesIconEngine(std::move(files)));
}

QIcon StationImage(int index)
{
    if (index < 0 || index >= StationImages::Count)
        return {};
    IconCache &cache = IconCache::instance();
    return cache.stored(cache.images[std::size_t(index)],
                        kImageNames[std::size_t(index)],
                        kImageSizes);
}

QIcon ProgramIcon()
{
    IconCache &cache = IconCache::instance();
    return cache.stored(cache.program, "veltrin", kProgramIconSizes);
}
