#include "filemanager.h"

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
