#include "bridge.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QResource>
#include <QStandardPaths>

#include "json.h"
#include "miscutils.h"

Bridge::Bridge(QObject *parent)
    : QObject(parent)
{
    busy = false;
    projectDataPath = QStandardPaths::writableLocation(QStandardPaths::DataLocation)
            + QStringLiteral("/projectData/");
    QDir(projectDataPath).mkpath(QStringLiteral("."));
    stopQuit();
}

Bridge::~Bridge() = default;

void Bridge::prepareToClose()
{
    ++closeRequests;
    if (closeRequests > 2)
        quit();
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
    emit needReload();
}

void Bridge::registerRcc(QString rcc_url)
{
    const bool ok = QResource::registerResource(urlToLocalPath(rcc_url), QString());
    qDebug() << rcc_url << ">" << ok;
}
