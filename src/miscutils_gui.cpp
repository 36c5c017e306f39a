#include "miscutils_gui.h"

#include <QDebug>
#include <QDesktopServices>
#include <QImageWriter>
#include <QUrl>
#include <QXmlStreamReader>

#include "filewriter.h"

namespace {

// Fits (w, h) inside (W, H) keeping its aspect ratio.
QSize scaledToFit(const QSize &size, const QSize &bounds)
{
    if (size.width() <= 0 || size.height() <= 0)
        return bounds;
    const qint64 w = size.width(), h = size.height();
    const qint64 W = bounds.width(), H = bounds.height();
    const qint64 w2 = H * w / h;
    if (w2 <= W)
        return QSize(int(w2), int(H));
    return QSize(int(W), int(W * h / w));
}

} // namespace

bool saveImageFile(const QImage &image, const QString &path, const QByteArray &format, int quality)
{
    if (image.isNull())
        return false;
    FileWriter file(path);
    if (!file.open())
        return false;
    QImageWriter writer(&file.device(), format);
    writer.setQuality(quality);
    if (!writer.write(image)) {
        qDebug().noquote() << "cannot write the image" << path << writer.errorString();
        return false;
    }
    if (!file.commit()) {
        qDebug().noquote() << file.errorString();
        return false;
    }
    return true;
}

QImage fitImage(const QImage &source, const QSize &size, const QColor &fill, bool doShrinkLarge,
                bool doStretchSmall, bool doKeepAspect, QPainter::RenderHints hints)
{
    if (source.isNull())
        return QImage();
    if (size.width() > MaxImageSide || size.height() > MaxImageSide) {
        qDebug() << "fitImage: target size too large" << size;
        return QImage();
    }
    if (size.width() <= 0 || size.height() <= 0)
        return QImage();

    const QSize S = source.size();
    const QSize &T = size;
    QSize P = S;   // the centred piece of the source that is drawn
    QSize B = S;   // the centred rectangle of the result it is drawn into
    if (doKeepAspect) {
        const bool cover = doStretchSmall && !doShrinkLarge;
        const bool fit = doShrinkLarge
                && (S.width() > T.width() || S.height() > T.height() || doStretchSmall);
        if (cover) {
            P = scaledToFit(T, S);
            B = T;
        } else if (fit) {
            B = scaledToFit(S, T);
        } else {
            P = QSize(qMin(T.width(), S.width()), qMin(T.height(), S.height()));
        }
    } else {
        B = T;
    }

    QImage result(T, QImage::Format_ARGB32);
    if (result.isNull())
        return QImage();
    result.fill(fill);

    const int dx = qMax(0, (T.width() - B.width()) / 2);
    const int dy = qMax(0, (T.height() - B.height()) / 2);
    const int sx = qMax(0, (S.width() - P.width()) / 2);
    const int sy = qMax(0, (S.height() - P.height()) / 2);

    QPainter painter(&result);
    painter.setRenderHints(hints, true);
    painter.drawImage(QRect(dx, dy, T.width() - 2 * dx, T.height() - 2 * dy), source,
                      QRect(sx, sy, P.width(), P.height()));
    painter.end();
    return result;
}

QString colorToText(const QColor &color)
{
    if (color.alpha() == 0 && color.red() == 0 && color.green() == 0 && color.blue() == 0)
        return QString();
    return QStringLiteral("#%1%2%3")
            .arg(color.red(), 2, 16, QLatin1Char('0'))
            .arg(color.green(), 2, 16, QLatin1Char('0'))
            .arg(color.blue(), 2, 16, QLatin1Char('0'));
}

QColor textToColor(const QString &text)
{
    if (text.isEmpty() || text.at(0) == QLatin1Char('t'))
        return QColor(0, 0, 0, 0);
    QString digits = text;
    if (digits.size() == 4)
        digits += digits.right(3);
    digits.replace(QLatin1String("#"), QLatin1String("0x"));
    bool ok = false;
    int value = digits.toInt(&ok, 0);
    if (!ok)
        value = 0;
    return QColor((value >> 16) & 0xFF, (value >> 8) & 0xFF, value & 0xFF, 255);
}

void openExternalUrl(const QString &url)
{
    QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}

void skipElement(QXmlStreamReader &reader)
{
    int depth = 0;
    while (!reader.atEnd()) {
        const QXmlStreamReader::TokenType token = reader.readNext();
        if (token == QXmlStreamReader::StartElement)
            ++depth;
        else if (token == QXmlStreamReader::EndElement && --depth < 0)
            break;
    }
}
