#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

// Draws the program's icon at each size the desktop's icon theme keeps, as
// OUTDIR/SIZExSIZE/veltrin.png, so the pictures in the menu always match the scalable one.
// Usage: veltrin-icon-render SVG OUTDIR SIZE...
int main(int argc, char *argv[])
{
    // Drawing into images needs no screen.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() < 4) {
        std::fprintf(stderr, "usage: veltrin-icon-render SVG OUTDIR SIZE...\n");
        return 2;
    }
    QSvgRenderer renderer(arguments.at(1));
    if (!renderer.isValid()) {
        std::fprintf(stderr, "%s: not a drawable SVG file\n", qPrintable(arguments.at(1)));
        return 1;
    }
    for (qsizetype i = 3; i < arguments.size(); ++i) {
        bool ok = false;
        const int size = arguments.at(i).toInt(&ok);
        if (!ok || size < 1 || size > 1024) {
            std::fprintf(stderr, "%s: not an icon size\n", qPrintable(arguments.at(i)));
            return 2;
        }
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        {
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            renderer.render(&painter, QRectF(0, 0, size, size));
        }
        const QString directory = QStringLiteral("%1/%2x%2").arg(arguments.at(2)).arg(size);
        const QString file = directory + QStringLiteral("/veltrin.png");
        if (!QDir().mkpath(directory) || !image.save(file, "PNG")) {
            std::fprintf(stderr, "%s: cannot be written\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
