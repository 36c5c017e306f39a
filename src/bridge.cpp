#include "bridge.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QResource>
#include <QStandardPaths>

#include "ftpcall.h"
#include "json.h"
#include "miscutils.h"
#include "tempfolders.h"

Bridge::Bridge(QObject *parent)
    : QObject(parent)
{
    busy = false;
    projectDataPath = QStandardPaths::writableLocation(QStandardPaths::DataLocation)
            + QStringLiteral("/projectData/");
    // A folder that cannot be made shows later, when an image slot fails to write.
    QDir(projectDataPath).mkpath(QStringLiteral("."));
    // A run that is killed leaves its temporary folder behind; the marker lets
    // a later start tell that nobody uses it any more.
    if (tempDir.isValid())
        TempFolders::markOwner(tempDir.path());
    stopQuit();
}

Bridge::~Bridge() = default;

// A page that never answers onClose survives two close requests; the third
// ends the program, and the page still hears of it.
void Bridge::prepareToClose()
{
    ++closeRequests;
    if (closeRequests > 2)
        quit();
    // A server call the page waits for would hold its close: a call made
    // from a page timer keeps the page's timers, its save's among them, from
    // running until it returns.
    FtpCall::cancelAll();
    emit onClose();
}

void Bridge::close()
{
    emit canBeClosed();
}

QString Bridge::getArgs()
{
    QVariantList args;
    for (const QString &arg : QCoreApplication::arguments())
        args << arg;
    return QString::fromUtf8(jsonSerialize(QVariant(args)));
}

void Bridge::emitDropFiles(QString jsonFiles)
{
    emit onDropFiles(jsonFiles);
}

void Bridge::quit()
{
    QCoreApplication::exit(0);
}

void Bridge::stopQuit()
{
    closeRequests = 0;
}

void Bridge::reloadWeb()
{
    if (reloadMustWait())
        return;
    emit needReload();
}

void Bridge::registerRcc(QString rcc_url)
{
    const QString path = urlToLocalPath(rcc_url);
    // A pipe would hold the window until something writes to it.
    const bool ok = isPlainFile(path) && QResource::registerResource(path, QString());
    qDebug().noquote() << rcc_url << ">" << (ok ? "true" : "false");
}
