#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include <cstdio>

// Draws an SVG icon at each size given, as OUTDIR/SIZExSIZE/NAME.png for NAME.svg, at build time:
// for the desktop's icon theme, so the pictures in the menu always match the scalable one, and
// for the station's own icons, which it then shows without the SVG engine, whose library and
// parsing were a good share of its start.
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
        const QString file = directory + QLatin1Char('/') + QFileInfo(arguments.at(1)).baseName()
                             + QStringLiteral(".png");
        if (!QDir().mkpath(directory) || !image.save(file, "PNG")) {
            std::fprintf(stderr, "%s: cannot be written\n", qPrintable(file));
            return 1;
        }
    }
    return 0;
}
