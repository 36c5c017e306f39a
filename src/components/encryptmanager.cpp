#include "encryptmanager.h"

#include "simplecrypt.h"

namespace {
const quint64 kKey = Q_UINT64_C(572049316);
}

QString EncryptManager::encode(const QString &text)
{
    SimpleCrypt crypt(kKey);
    return crypt.encryptToString(text);
}

QString EncryptManager::decode(const QString &text)
{
    SimpleCrypt crypt(kKey);
    return crypt.decryptToString(text);
}
