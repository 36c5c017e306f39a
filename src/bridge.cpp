#include "bridge.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QResource>
#include <QStandardPaths>

#include "json.h"
#include "miscutils.h"

QString jsEscape(const QString &text)
{
    QString out = text;
    out.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    out.replace(QLatin1String("\""), QLatin1String("\\\""));
    out.replace(QLatin1String("\n"), QLatin1String("\\n"));
    return out;
}

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

void Bridge::callJsCallback(const QString &name, const QVariantList &args)
{
    const QString json = QString::fromUtf8(jsonSerialize(QVariant(args)));
    emit jsChanged(QStringLiteral("Bridge.") + name + QStringLiteral(".apply(Bridge,") + json
                   + QStringLiteral(");"));
}

void Bridge::prepareToClose()
{
    ++closeRequests;
    if (closeRequests > 2)
        quit();
    emit onClose();
}

void Bridge::emitScreenReady(QString url)
{
    emit jsChanged(QStringLiteral("Bridge._screenReady('") + jsEscape(url) + QStringLiteral("')"));
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
