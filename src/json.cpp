#include "json.h"

QByteArray jsonSerialize(const QVariant &) { return QByteArray(); }
QString jsonEscapeString(const QString &text) { return QLatin1Char('"') + text + QLatin1Char('"'); }
QByteArray jsonJoin(const QList<QByteArray> &items, const QByteArray &separator)
{
    QByteArray out;
    for (int i = 0; i < items.size(); ++i) {
        if (i)
            out += separator;
        out += items.at(i);
    }
    return out;
}
QVariant jsonParse(const QString &, bool &success) { success = false; return QVariant(); }
