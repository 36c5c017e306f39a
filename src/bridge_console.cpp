#include "bridge.h"

#include <QDebug>
#include <QFile>

#include "encryptmanager.h"

void Bridge::emitConsoleMessage(QString message, int lineNumber, QString sourceID)
{
    const QString path = tempDir.path() + QStringLiteral("/conmsg.log");
    QFile log(path);
    // Opened per message, so no handle outlives it; without a temporary folder
    // there is no log to write to.
    if (!tempDir.isValid() || !log.open(QIODevice::WriteOnly | QIODevice::Append)) {
        qWarning().noquote() << QStringLiteral("Error open log ") + path;
        return;
    }
    // One pass of arg(): a "%1" inside the message stays as it is.
    const QString record = QStringLiteral("%3 : %2 > %1 \n")
            .arg(message, QString::number(lineNumber), sourceID);
    log.write(EncryptManager::encode(record).toUtf8());
}

QString Bridge::encode(QString value)
{
    return EncryptManager::encode(value);
}

QString Bridge::decode(QString value)
{
    return EncryptManager::decode(value);
}
