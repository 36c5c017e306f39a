#include "envlimit.h"

#include <QByteArray>

qint64 envLimit(const char *name, qint64 defaultValue)
{
    bool ok = false;
    const qint64 value = qgetenv(name).trimmed().toLongLong(&ok);
    return ok && value > 0 ? qMin(value, defaultValue) : defaultValue;
}
