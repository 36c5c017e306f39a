#include "settingssync.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QSettings>

#include <cstdio>
#include <unistd.h>

namespace {

// Whether the file on disk holds every key of the store: each key is one line
// "name=value" (values keep their line breaks escaped), and a whole file ends
// with a line break. A file cut short misses a line or ends inside one.
bool holdsAllKeys(const QString &path, int keys)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return keys == 0;
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return false;
    if (bytes.isEmpty())
        return keys == 0;
    if (!bytes.endsWith('\n'))
        return false;
    int found = 0;
    for (const QByteArray &line : bytes.split('\n')) {
        if (!line.isEmpty() && !line.startsWith('[') && !line.startsWith(';') && line.contains('='))
            ++found;
    }
    return found == keys;
}

} // namespace

bool syncSettingsWhole(QSettings &settings)
{
    const QString path = settings.fileName();
    const QByteArray file = QFile::encodeName(path);
    // A second name for the old file: the new one is renamed over the first
    // name, and the old content stays reachable to put back.
    const QByteArray kept = file + ".kept-" + QByteArray::number(qint64(::getpid()));
    ::unlink(kept.constData());
    const bool haveOld = QFileInfo(path).isFile() && ::link(file.constData(), kept.constData()) == 0;

    settings.sync();
    const bool whole = settings.status() == QSettings::NoError && holdsAllKeys(path, settings.allKeys().size());
    if (!whole && haveOld && ::rename(kept.constData(), file.constData()) == 0) {
        qWarning().noquote() << "the settings could not be written to" << path << "- the former file is kept";
        return false;
    }
    if (haveOld)
        ::unlink(kept.constData());
    if (!whole)
        qWarning().noquote() << "the settings could not be written to" << path;
    return whole;
}
