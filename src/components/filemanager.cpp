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
