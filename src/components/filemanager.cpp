#include "filemanager.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>


FileManager::FileManager()
    : QObject(nullptr)
{
}

FileManager::~FileManager() = default;

bool FileManager::isUnsafePath(const QString &path)
{
    for (const QChar c : path) {
        if (c.unicode() < 0x20 || c.unicode() == 0x7f)
            return true;
    }
    const QStringList segments = QString(path).replace(QLatin1Char('\\'), QLatin1Char('/')).split(QLatin1Char('/'));
    return segments.contains(QStringLiteral(".."));
}

QString FileManager::htmlError(const QString &message, const QString &path)
{
    const auto escape = [](QString text) {
        text.replace(QLatin1Char('&'), QLatin1String("&amp;"));
        text.replace(QLatin1Char('<'), QLatin1String("&lt;"));
        text.replace(QLatin1Char('>'), QLatin1String("&gt;"));
        return text;
    };
    return QStringLiteral("%1<br>%2").arg(escape(message), escape(path));
}

bool FileManager::readSource(const QString &path, QByteArray *bytes, QString *error)
{
    bytes->clear();
    const QFileInfo info(path);
    if (!info.exists()) {
        *error = htmlError(tr("File not exists"), path);
        return false;
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *error = htmlError(tr("Error open file"), path);
        return false;
    }
    if (file.isSequential()) {
        // No size to check against (the caller let a pipe through): it counts
        // whole when it ends without an error and within the limit.
        for (;;) {
            const QByteArray chunk = file.read(1 << 20);
            if (chunk.isEmpty() || bytes->size() > MaxUploadSize)
                break;
            bytes->append(chunk);
        }
        if (bytes->size() > MaxUploadSize) {
            bytes->clear();
            *error = htmlError(tr("File is too large to upload (more than %1 MiB)").arg(MaxUploadSize >> 20), path);
            return false;
        }
    } else {
        const qint64 size = file.size();
        if (size > MaxUploadSize) {
            *error = htmlError(tr("File is too large to upload (more than %1 MiB)").arg(MaxUploadSize >> 20), path);
            return false;
        }
        *bytes = file.readAll();
        if (bytes->size() != size) {
            bytes->clear();
            *error = htmlError(tr("Error reading file"), path);
            return false;
        }
    }
    if (file.error() != QFileDevice::NoError) {
        bytes->clear();
        *error = htmlError(tr("Error reading file"), path);
        return false;
    }
    return true;
}
