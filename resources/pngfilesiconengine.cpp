#include "resources/pngfilesiconengine.h"

#include <QImageReader>
#include <QPainter>
#include <QPixmap>

#include <algorithm>

PngFilesIconEngine::PngFilesIconEngine(std::map<int, QString> files)
    : m_files(std::move(files))
{
    for (const auto &[size, path] : m_files)
        m_sizes[size] = false;
}

const QIcon &PngFilesIconEngine::decodedFor(const QSize &size)
{
    if (m_sizes.empty())
        return m_decoded;
    const int wanted = std::max(size.width(), size.height());
    auto fit = m_sizes.lower_bound(wanted);
    if (fit == m_sizes.end())
        fit = std::prev(m_sizes.end());
    if (!fit->second) {
        fit->second = true;
        // Told the format, the reader goes straight to the built-in PNG decoder; left to guess,
        // it would load and ask every image format plug-in of the system first.
        QImageReader reader(m_files[fit->first], "png");
        reader.setAutoDetectImageFormat(false);
        const QImage image = reader.read();
        if (!image.isNull())
            m_decoded.addPixmap(QPixmap::fromImage(image));
        m_files.erase(fit->first);
    }
    return m_decoded;
}

QPixmap PngFilesIconEngine::pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state)
{
    return decodedFor(size).pixmap(size, mode, state);
}

void PngFilesIconEngine::paint(QPainter *painter,
                               const QRect &rect,
                               QIcon::Mode mode,
                               QIcon::State state)
{
    const qreal scale = painter->device() ? painter->device()->devicePixelRatioF() : 1.0;
    decodedFor(rect.size() * scale).paint(painter, rect, Qt::AlignCenter, mode, state);
}

QSize PngFilesIconEngine::actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state)
{
    return decodedFor(size).actualSize(size, mode, state);
}

QList<QSize> PngFilesIconEngine::availableSizes(QIcon::Mode, QIcon::State)
{
    QList<QSize> sizes;
    for (const auto &[size, decoded] : m_sizes)
        sizes.append(QSize(size, size));
    return sizes;
}

QIconEngine *PngFilesIconEngine::clone() const
{
    return new PngFilesIconEngine(*this);
}
