#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QString>
#include <QSvgRenderer>

#include <cstdio>

// Draws each SVG icon as PNG images of the given sizes, at build time: the station then shows
// its icons without the SVG engine, whose library and parsing were a good share of its start.
// Usage: veltrin_rasterize <output directory> <sizes, comma-separated> <svg>...
// Each <name>.svg becomes <output directory>/<name>-<size>.png.
int main(int argc, char *argv[])
{
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <output directory> <sizes> <svg>...\n", argv[0]);
        return 2;
    }
    // Neither a display nor fonts are needed to draw paths into an image.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    const QString outputDir = QString::fromLocal8Bit(argv[1]);
    const QStringList sizes = QString::fromLatin1(argv[2]).split(QLatin1Char(','));
    for (int i = 3; i < argc; ++i) {
        const QString svgPath = QString::fromLocal8Bit(argv[i]);
        QSvgRenderer renderer(svgPath);
        if (!renderer.isValid()) {
            std::fprintf(stderr, "%s: not a valid SVG image\n", argv[i]);
            return 1;
        }
        QString name = svgPath.section(QLatin1Char('/'), -1);
        name.chop(4); // ".svg"
        for (const QString &sizeText : sizes) {
            const int size = sizeText.toInt();
            QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            {
                // As the SVG icon engine draws a square picture: over the whole image.
                QPainter painter(&image);
                renderer.render(&painter);
            }
            const QString pngPath = outputDir + QLatin1Char('/') + name + QLatin1Char('-')
                                    + sizeText + QStringLiteral(".png");
            if (!image.save(pngPath, "PNG")) {
                std::fprintf(stderr, "%s: cannot write\n", qPrintable(pngPath));
                return 1;
            }
        }
    }
    return 0;
}
