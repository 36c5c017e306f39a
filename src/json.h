#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

// The host's own JSON writer: "[ a, b ]", "{ \"k\" : v }", doubles with 20
// significant digits. A value it cannot write makes the whole result null.
QByteArray jsonSerialize(const QVariant &value);
QString jsonEscapeString(const QString &text);
QByteArray jsonJoin(const QList<QByteArray> &items, const QByteArray &separator);
QVariant jsonParse(const QString &json, bool &success);
