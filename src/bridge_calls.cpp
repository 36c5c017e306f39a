#include "bridge.h"

#include "json.h"

QString jsEscape(const QString &text)
{
    // Safe inside single- and double-quoted literals alike: the page reads back
    // exactly the text given. U+2028 and U+2029 end a line in script source.
    QString out = text;
    out.replace(QLatin1String("\\"), QLatin1String("\\\\"));
    out.replace(QLatin1String("\""), QLatin1String("\\\""));
    out.replace(QLatin1String("'"), QLatin1String("\\'"));
    out.replace(QLatin1String("\n"), QLatin1String("\\n"));
    out.replace(QLatin1String("\r"), QLatin1String("\\r"));
    out.replace(QChar(0x2028), QLatin1String("\\u2028"));
    out.replace(QChar(0x2029), QLatin1String("\\u2029"));
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
