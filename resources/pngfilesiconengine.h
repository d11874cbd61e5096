#pragma once

#include <QIcon>
#include <QIconEngine>
#include <QString>

#include <map>

// An icon of PNG images, one per square size, each decoded only when a size near it is first
// asked for: the window shows most icons at one size only, and decoding every size of every
// icon at start was a good share of its start-up. The decoded images go into an ordinary icon,
// which scales them and draws the disabled and selected looks as the application's style does.
class PngFilesIconEngine : public QIconEngine
{
public:
    explicit PngFilesIconEngine(std::map<int, QString> files);

    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override;
    QSize actualSize(const QSize &size, QIcon::Mode mode, QIcon::State state) override;
    QList<QSize> availableSizes(QIcon::Mode mode, QIcon::State state) override;
    // Null only without any picture: one whose pictures are all decoded is still an icon.
    bool isNull() override { return m_sizes.empty(); }
    QIconEngine *clone() const override;
    QString key() const override { return QStringLiteral("PngFilesIconEngine"); }

private:
    // The icon with the image that serves size decoded: the smallest at least as large, else the
    // largest there is.
    const QIcon &decodedFor(const QSize &size);

    std::map<int, QString> m_files; // not yet decoded
    std::map<int, bool> m_sizes;    // every size, decoded or not
    QIcon m_decoded;
};
