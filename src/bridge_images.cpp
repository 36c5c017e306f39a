#include "bridge.h"

#include <QColor>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QPainter>
#include <QRandomGenerator>

#include <limits>

#include "miscutils.h"
#include "miscutils_gui.h"

namespace {

bool withinBounds(const QSize &size)
{
    return size.width() <= MaxImageSide && size.height() <= MaxImageSide;
}

// Reads the size from the header first, so an oversized source is never decoded;
// a pipe or a device is never opened.
QImage loadBoundedImage(const QString &path)
{
    if (!isPlainFile(path))
        return QImage();
    QImageReader reader(path);
    const QSize size = reader.size();
    if (!size.isValid() || !withinBounds(size))
        return QImage();
    return reader.read();
}

QString outputExtension(const QString &source, const QString &format)
{
    if (format.toLower() == QLatin1String("jpg")
            || source.endsWith(QLatin1String(".jpg"), Qt::CaseInsensitive))
        return QStringLiteral("jpg");
    return QStringLiteral("png");
}

// "<folder>/<base>-<w>x<h>_<n>.<ext>" with n drawn from 0 to 99; a name that is
// taken is never reused, since another page or block may still show that file.
QString outputName(const QString &folder, const QString &source, const QSize &size,
                   const QString &extension)
{
    const QString stem = QDir(folder).absolutePath() + QLatin1Char('/') + QFileInfo(source).baseName()
            + QLatin1Char('-') + QString::number(size.width()) + QLatin1Char('x')
            + QString::number(size.height()) + QLatin1Char('_');
    const auto nameFor = [&](int n) { return stem + QString::number(n) + QLatin1Char('.') + extension; };
    for (int draw = 0; draw < 100; ++draw) {
        const QString name = nameFor(QRandomGenerator::global()->bounded(100));
        if (!QFileInfo::exists(name))
            return name;
    }
    // The hundred short numbers are (nearly) all taken: count on past them.
    for (int n = 0; n < 1000000; ++n) {
        if (!QFileInfo::exists(nameFor(n)))
            return nameFor(n);
    }
    return QString();
}

// Saves into the project-data folder and returns the new file's URL, or empty text.
QString saveImage(const QImage &image, const QString &folder, const QString &source,
                  const QSize &nameSize, const QString &extension, int quality)
{
    if (image.isNull())
        return QString();
    const QString name = outputName(folder, source, nameSize, extension);
    if (name.isEmpty())
        return QString();
    if (!saveImageFile(image, name, extension.toLatin1(), quality))
        return QString();
    return localPathToUrl(name);
}

} // namespace

QString Bridge::resizeImage(QString url, int width, int height, bool keepAspectRatio, int Quality,
                            QString format)
{
    if (url.isEmpty() || !withinBounds(QSize(width, height)))
        return QString();
    const QString extension = outputExtension(url, format);
    const QString path = urlToLocalPath(url);
    QImage image = loadBoundedImage(path);
    if (width < 0 && height < 0) {
        width = image.width();
        height = image.height();
    }
    const QSize sourceSize = image.size();

    // Shrinks only: an image is never enlarged.
    if (width == -1 && height < image.height())
        image = image.scaledToHeight(height, Qt::FastTransformation);
    else if (height == -1 && width < image.width())
        image = image.scaledToWidth(width, Qt::FastTransformation);
    else if (height < image.height() && width < image.width())
        image = image.scaled(width, height,
                             keepAspectRatio ? Qt::KeepAspectRatio : Qt::IgnoreAspectRatio,
                             Qt::SmoothTransformation);

    return saveImage(image, projectDataPath, path, sourceSize, extension, Quality);
}

QString Bridge::transformImage(QString url, int width, int height, bool doShrinkLarge,
                               bool doStretchSmall, bool doKeepAspect, QString color, int Quality,
                               QString format)
{
    if (url.isEmpty() || !withinBounds(QSize(width, height)))
        return QString();
    QColor fill(color);
    if (color.isEmpty() || !fill.isValid())
        fill = QColor(Qt::transparent);
    const QString extension = outputExtension(url, format);
    const QString path = urlToLocalPath(url);
    QImage image = loadBoundedImage(path);

    if (width > 0 || height > 0) {
        QSize target(width, height);
        if (!doShrinkLarge && !doStretchSmall && doKeepAspect) {
            // Fit the box, enlarging or reducing; an unset side does not bound.
            const int unbounded = std::numeric_limits<int>::max();
            target = image.size().scaled(width > 0 ? width : unbounded,
                                         height > 0 ? height : unbounded, Qt::KeepAspectRatio);
            doShrinkLarge = true;
            doStretchSmall = true;
        }
        if (!withinBounds(target))
            return QString();
        // Value 8: high-quality antialiasing, the one hint the fit is drawn with.
        image = fitImage(image, target, fill, doShrinkLarge, doStretchSmall, doKeepAspect,
                         QPainter::RenderHints(static_cast<QPainter::RenderHint>(0x08)));
    }

    return saveImage(image, projectDataPath, path, image.size(), extension, Quality);
}

void Bridge::getScreen(QString saveToUrl, int outW, int outH, int x, int y, int w, int h)
{
    emit makeProjectScreen(QString(), saveToUrl, QSize(outW, outH), QRect(x, y, w, h));
}
