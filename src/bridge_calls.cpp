#include "bridge.h"

#include "json.h"

QString jsEscape(const QString &text)
{
    QString out = text;
    out.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    out.replace(QLatin1String("\""), QLatin1String("\\\""));
    out.replace(QLatin1String("\n"), QLatin1String("\\n"));
    return out;
}

void Bridge::callJsCallback(const QString &name, const QVariantList &args)
{
    const QString json = QString::fromUtf8(jsonSerialize(QVariant(args)));
    emit jsChanged(QStringLiteral("Bridge.") + name + QStringLiteral(".apply(Bridge,") + json
                   + QStringLiteral(");"));
}

void Bridge::emitScreenReady(QString url)
{
    emit jsChanged(QStringLiteral("Bridge._screenReady('") + jsEscape(url) + QStringLiteral("')"));
}
