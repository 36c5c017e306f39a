#pragma once

#include <QObject>
#include <QString>

// The one entry to encrypted text: every installation shares the key, so a
// text encoded on one machine decodes on any other.
class EncryptManager : public QObject
{
    Q_OBJECT

public:
    static QString encode(const QString &text);
    // The empty text on any failure.
    static QString decode(const QString &text);

private:
    EncryptManager() = delete;
};
