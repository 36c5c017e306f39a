#include "bridge.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QIODevice>
#include <QRegularExpression>
#include <QSettings>
#include <QStandardPaths>
#include <QStringList>
#include <QUrl>

#include "filemanager.h"
#include "ftpcall.h"
#include "ftpfilemanager.h"
#include "localfilemanager.h"
#include "miscutils.h"

namespace {

// The project data folder, or empty text when there is no data location to
// put it below (its path would then be "/projectData/" at the file-system root).
QString projectDataFolder()
{
    const QString dataLocation = QStandardPaths::writableLocation(QStandardPaths::DataLocation);
    if (dataLocation.isEmpty())
        return QString();
    return dataLocation + QStringLiteral("/projectData/");
}

// A link in place of the folder would let the clean-up delete files of
// whatever folder it points to, so only a real folder is cleaned.
bool isRealFolder(const QString &path)
{
    const QFileInfo info(QDir::cleanPath(path));
    return info.isDir() && !info.isSymLink();
}

// The file's text, or empty text with the reason in error when it is too
// large to hand to the page (a missing file is no error: it reads as empty).
QString readWhole(const QSharedPointer<FileManager> &manager, const QString &name, QString *error)
{
    const QSharedPointer<QIODevice> device = manager->getfile(name);
    if (!device || !device->isOpen())
        return QString();
    // Checked before reading: the bytes and their text are held whole.
    QByteArray bytes;
    if (device->size() <= MaxReadSize)
        bytes = device->readAll();
    if (device->size() > MaxReadSize || bytes.size() > MaxReadSize) {
        *error = Bridge::tr("%1 is larger than %2 MiB and is not read.").arg(name).arg(MaxReadSize >> 20);
        return QString();
    }
    return QString::fromUtf8(bytes);
}

} // namespace

QSharedPointer<FileManager> Bridge::createFileManager(const QString &url)
{
    const initData data = url2data(url);
    if (data.type == 0) {
        // A plain path, a drive path or a file URL; any other scheme (http,
        // github, File, ...) names no folder of this machine.
        static const QRegularExpression schemePrefix(QStringLiteral("^([A-Za-z][A-Za-z0-9+.-]+):"));
        const QRegularExpressionMatch scheme = schemePrefix.match(url);
        if (scheme.hasMatch() && scheme.captured(1) != QLatin1String("file"))
            return QSharedPointer<FileManager>();
        return QSharedPointer<FileManager>(new LocalFileManager(data.path));
    }
    if (data.type == 1 && isRemoteScheme(data.url.scheme()))
        return QSharedPointer<FileManager>(new FtpFileManager(data.url, data.path));
    return QSharedPointer<FileManager>();
}

QString Bridge::getProjectFile(QString url)
{
    const int slash = url.lastIndexOf(QLatin1Char('/'));
    const QString name = url.mid(slash + 1);
    const QString folder = url.left(qMax(slash, 0));
    QStringList names { name };
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (dot >= 0 && name.mid(dot + 1) == QLatin1String("json")) {
        // Older projects were saved as .json, newer ones carry the project extension.
        names << QString(name).replace(QLatin1String("json"), QLatin1String("quillary"));
    }

    const initData record = url2data(folder);
    if (record.type == 1 && isRemoteScheme(record.url.scheme())) {
        // Off the GUI thread, with one log-in and a deadline: a silent or
        // slow server must not freeze the window.
        // The error property tells "could not ask" (its reason) from
        // "nothing there" (empty), which read the same as text.
        FtpCall call(folder);
        QByteArray bytes;
        if (!runFtpCall(call, [&call, &names, &bytes]() { return call.fetch(names, &bytes); }))
            return QString();
        return QString::fromUtf8(bytes);
    }

    errorText.clear();

    const QSharedPointer<FileManager> manager = createFileManager(folder);
    if (!manager)
        return QString();
    QString text;
    for (const QString &candidate : names) {
        QString error;
        text = readWhole(manager, candidate, &error);
        if (!error.isEmpty()) {
            errorText = error;
            return QString();
        }
        if (!text.isEmpty())
            break;
    }
    return text;
}

QString Bridge::getRecents()
{
    QSettings settings;
    const int count = settings.value(QStringLiteral("uploadDataSize/Count"), 0).toInt();
    QStringList urls;
    settings.beginReadArray(QStringLiteral("uploadData"));
    for (int i = 0; i < count; ++i) {
        settings.setArrayIndex(i);
        // The legacy count may claim more entries than were written; an entry
        // without a type is not one of them (it would read as an empty folder).
        if (!settings.contains(QStringLiteral("Type")))
            break;
        initData data;
        data.type = settings.value(QStringLiteral("Type")).toInt();
        data.url = settings.value(QStringLiteral("FtpData")).toUrl();
        data.path = settings.value(QStringLiteral("ExportPath")).toString();
        if (data.type == 0)
            urls << data2url(data);
    }
    settings.endArray();
    return urls.join(QLatin1Char('\n'));
}

void Bridge::clearRecentData()
{
    const QString folder = projectDataFolder();
    if (folder.isEmpty())
        return;
    // Without its trailing "/", so that a link is seen as the link itself.
    const QFileInfo info(QDir::cleanPath(folder));
    if (info.isSymLink())
        QFile::remove(info.absoluteFilePath());
    else if (info.isDir())
        QDir(folder).removeRecursively();
    QDir(folder).mkpath(QStringLiteral("."));
}

void Bridge::utilizeProject(QString project)
{
    // An empty project names no image, and would have every one of them deleted.
    if (project.trimmed().isEmpty())
        return;
    const QString folder = projectDataFolder();
    if (folder.isEmpty() || !isRealFolder(folder))
        return;
    const QFileInfoList files = QDir(folder).entryInfoList(
            QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo &file : files) {
        if (!project.contains(localPathToUrl(file.absoluteFilePath())))
            QFile::remove(file.absoluteFilePath());
    }
}
