#include "tempfolders.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>

#include "filewriter.h"

#include <cerrno>
#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const char markerName[] = ".quillary-owner";

// The start time of a process (clock ticks after boot, field 22 of its stat
// line): together with the id it names one process, even after the id is
// reused. Empty when unknown.
QByteArray startTimeOf(qint64 pid)
{
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly))
        return QByteArray();
    const QByteArray line = stat.readAll();
    // The name in parentheses may hold spaces: count fields after its end.
    const int end = line.lastIndexOf(')');
    if (end < 0)
        return QByteArray();
    const QList<QByteArray> fields = line.mid(end + 2).split(' ');
    return fields.value(19);   // field 22, counted from field 3
}

bool isAlive(qint64 pid, const QByteArray &startTime)
{
    if (pid <= 0)
        return true;   // not a process id: leave the folder alone
    if (::kill(pid_t(pid), 0) != 0 && errno == ESRCH)
        return false;
    const QByteArray now = startTimeOf(pid);
    return startTime.isEmpty() || now.isEmpty() || now == startTime;
}

} // namespace

bool TempFolders::markOwner(const QString &folder)
{
    const qint64 pid = QCoreApplication::applicationPid();
    const QByteArray text = QByteArray::number(pid) + ' ' + startTimeOf(pid) + '\n';
    QString error;
    if (FileWriter::writeWhole(folder + QLatin1Char('/') + QLatin1String(markerName), text, &error))
        return true;
    qWarning().noquote() << error;
    return false;
}

int TempFolders::removeStale()
{
    const QDir temp(QDir::tempPath());
    const QString prefix = QCoreApplication::applicationName() + QLatin1Char('-');
    int removed = 0;
    const QStringList names = temp.entryList({ prefix + QLatin1Char('*') },
                                             QDir::Dirs | QDir::Hidden | QDir::NoDotAndDotDot | QDir::NoSymLinks);
    for (const QString &name : names) {
        const QString folder = temp.filePath(name);
        struct stat st {};
        if (::lstat(QFile::encodeName(folder).constData(), &st) != 0 || !S_ISDIR(st.st_mode)
                || st.st_uid != ::geteuid())
            continue;
        QFile marker(folder + QLatin1Char('/') + QLatin1String(markerName));
        if (!marker.open(QIODevice::ReadOnly))
            continue;
        const QList<QByteArray> fields = marker.read(256).trimmed().split(' ');
        bool ok = false;
        const qint64 pid = fields.value(0).toLongLong(&ok);
        if (!ok || isAlive(pid, fields.value(1)))
            continue;
        if (QDir(folder).removeRecursively()) {
            ++removed;
            qDebug().noquote() << "removed the temporary folder of an ended run:" << folder;
        }
    }
    return removed;
}
