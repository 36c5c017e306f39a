#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QVariant>

// The host's own JSON writer: "[ a, b ]", "{ \"k\" : v }", doubles with 20
// significant digits and ".0" after whole ones. Pages evaluate the text as
// script, so it is kept valid script as well as valid JSON. A value it cannot
// write makes the whole result a null byte array.
QByteArray jsonSerialize(const QVariant &value);
QString jsonEscapeString(const QString &text);
QByteArray jsonJoin(const QList<QByteArray> &items, const QByteArray &separator);

// Reads one JSON value; success is false on any unexpected token.
QVariant jsonParse(const QString &json, bool &success);
