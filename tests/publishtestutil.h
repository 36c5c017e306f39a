#pragma once

// Small file helpers shared by the publishing tests.

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSignalSpy>
#include <QString>
#include <QStringList>

namespace PublishTest {

inline QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
}

inline bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// A text as the page receives it inside an error: "&", "<" and ">" escaped.
inline QString html(QString text)
{
    return text.replace("&", "&amp;").replace("<", "&lt;").replace(">", "&gt;");
}

// The calls the page was given (the first argument of each signal) that
// start with the prefix, in order.
inline QStringList calls(const QSignalSpy &spy, const QString &prefix)
{
    QStringList out;
    for (const QList<QVariant> &args : spy)
        if (args.at(0).toString().startsWith(prefix))
            out << args.at(0).toString();
    return out;
}

} // namespace PublishTest
