#include "cli/previewpicture.h"

#include <QPainter>

#include <algorithm>
#include <cmath>
#include <vector>

namespace nocta::cli {

namespace {

// Candidate areas start on a grid of this many steps across each side.
constexpr int GridSteps = 8;

int luma(QRgb pixel)
{
    return (77 * qRed(pixel) + 150 * qGreen(pixel) + 29 * qBlue(pixel)) >> 8;
}

struct AreaMeasure
{
    QRect rect;
    double mean = 0;
    double detail = 0; // mean squared difference between neighbouring pixels
};

AreaMeasure measure(const QImage &image, const QRect &rect)
{
    double sum = 0, detail = 0;
    for (int y = rect.top(); y <= rect.bottom(); ++y) {
        const QRgb *row = reinterpret_cast<const QRgb *>(image.constScanLine(y));
        const QRgb *below = reinterpret_cast<const QRgb *>(image.constScanLine(qMin(y + 1, rect.bottom())));
        for (int x = rect.left(); x <= rect.right(); ++x) {
            const int v = luma(row[x]);
            const int right = luma(row[qMin(x + 1, rect.right())]) - v;
            const int down = luma(below[x]) - v;
            sum += v;
            detail += right * right + down * down;
        }
    }
    const double count = double(rect.width()) * rect.height();
    return {rect, sum / count, detail / count};
}

// "Quality  41 ms/frame" in the panel's top left corner, on a dark box.
void label(QPainter &painter, const QPoint &corner, const QString &text)
{
    const QFontMetrics metrics(painter.font());
    const QRect box(corner, QSize(metrics.horizontalAdvance(text) + 8, metrics.height() + 4));
    painter.fillRect(box, QColor(0, 0, 0, 190));
    painter.setPen(Qt::white);
    painter.drawText(box, Qt::AlignCenter, text);
}

} // namespace

QRect detailedDarkArea(const QImage &image, QSize size)
{
    const QImage rgb = image.convertToFormat(QImage::Format_RGB32);
    size = size.boundedTo(rgb.size()).expandedTo(QSize(1, 1));
    std::vector<AreaMeasure> areas;
    for (int j = 0; j <= GridSteps; ++j)
        for (int i = 0; i <= GridSteps; ++i)
            areas.push_back(measure(rgb, QRect(QPoint((rgb.width() - size.width()) * i / GridSteps,
                                                      (rgb.height() - size.height()) * j / GridSteps), size)));
    std::vector<double> means;
    for (const AreaMeasure &area : areas)
        means.push_back(area.mean);
    std::nth_element(means.begin(), means.begin() + means.size() / 2, means.end());
    const double median = means[means.size() / 2];
    const AreaMeasure *best = nullptr;
    for (const AreaMeasure &area : areas)
        if (area.mean <= median && (!best || area.detail > best->detail))
            best = &area;
    return best->rect;
}

QImage previewPicture(const MoviePreview &preview)
{
    const QSize frameSize = preview.source.size();
    const double scale = frameSize.width() > MostPanelWidth ? double(MostPanelWidth) / frameSize.width() : 1.0;
    const QSize panel(int(std::lround(frameSize.width() * scale)), int(std::lround(frameSize.height() * scale)));
    // The detail is judged on the quality frame: in the source, noise is detail.
    // Half the panel's width and height, twice as large: a panel.
    const QRect area = detailedDarkArea(preview.modes.last().frame, panel / 2);

    QVector<QPair<QString, QImage>> columns{{QStringLiteral("Source"), preview.source}};
    for (const ModePreview &mode : preview.modes)
        columns.append({QStringLiteral("%1  %2 ms/frame").arg(mode.mode).arg(mode.msPerFrame, 0, 'f', 1), mode.frame});

    QImage picture(panel.width() * columns.size(), panel.height() * 2, QImage::Format_RGB32);
    picture.fill(Qt::black);
    QPainter painter(&picture);
    QFont font = painter.font();
    font.setPixelSize(qBound(10, panel.height() / 24, 28));
    painter.setFont(font);
    painter.setRenderHint(QPainter::SmoothPixmapTransform, scale != 1.0);
    for (int i = 0; i < columns.size(); ++i) {
        const QPoint top(panel.width() * i, 0), bottom(panel.width() * i, panel.height());
        painter.drawImage(QRect(top, panel), columns[i].second);
        // Twice the size of the frame's pixels, whatever the scale above.
        painter.setRenderHint(QPainter::SmoothPixmapTransform, false);
        painter.drawImage(QRect(bottom, area.size() * 2), columns[i].second.copy(area));
        painter.setRenderHint(QPainter::SmoothPixmapTransform, scale != 1.0);
        label(painter, top + QPoint(4, 4), i == 0 ? QStringLiteral("Source  frame %1 at %2 s")
                                                        .arg(preview.frameIndex + 1).arg(preview.seconds, 0, 'f', 2)
                                                  : columns[i].first);
        label(painter, bottom + QPoint(4, 4), QStringLiteral("2x"));
    }
    painter.setPen(QPen(Qt::yellow, 1));
    painter.setBrush(Qt::NoBrush);
    painter.drawRect(QRectF(area.x() * scale, area.y() * scale, area.width() * scale - 1, area.height() * scale - 1));
    painter.end();
    return picture;
}

} // namespace nocta::cli
