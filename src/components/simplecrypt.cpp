#include "simplecrypt.h"

#include <QCryptographicHash>
#include <QDataStream>
#include <QDebug>
#include <QRandomGenerator>

namespace {

const char kVersion = 3;
const int kHashSize = 20;
// zlib never expands more than about 1032 to 1; a length prefix that claims
// more than that of its stream, or more than any text this cipher carries, is
// hostile and must not be allocated.
const qint64 kMaxInflateRatio = 1032;
const qint64 kMaxPlainSize = 256 * 1024 * 1024;

// qUncompress trusts the 4-byte length in front of the stream and allocates
// it at once; check it first.
QByteArray safeUncompress(const QByteArray &data)
{
    if (data.size() < 4)
        return QByteArray();
    const uchar *p = reinterpret_cast<const uchar *>(data.constData());
    const quint32 expected = (quint32(p[0]) << 24) | (quint32(p[1]) << 16) | (quint32(p[2]) << 8) | quint32(p[3]);
    const qint64 stream = data.size() - 4;
    if (qint64(expected) > kMaxPlainSize || qint64(expected) > stream * kMaxInflateRatio + 64)
        return QByteArray();
    const QByteArray out = qUncompress(data);
    return out.size() == qint64(expected) ? out : QByteArray();
}

} // namespace

SimpleCrypt::SimpleCrypt() = default;

SimpleCrypt::SimpleCrypt(quint64 key)
{
    setKey(key);
}

void SimpleCrypt::setKey(quint64 key)
{
    m_key = key;
    m_keyParts.clear();
    for (int i = 0; i < 8; ++i)
        m_keyParts.append(char((key >> (8 * i)) & 0xFF));
}

QString SimpleCrypt::encryptToString(const QString &plaintext)
{
    return encryptToString(plaintext.toUtf8());
}

QString SimpleCrypt::encryptToString(const QByteArray &plaintext)
{
    return QString::fromLatin1(encryptToByteArray(plaintext).toBase64());
}

QByteArray SimpleCrypt::encryptToByteArray(const QString &plaintext)
{
    return encryptToByteArray(plaintext.toUtf8());
}

QByteArray SimpleCrypt::encryptToByteArray(const QByteArray &plaintext)
{
    if (m_keyParts.isEmpty()) {
        qWarning() << "No key set.";
        m_lastError = ErrorNoKeySet;
        return QByteArray();
    }

    QByteArray body = plaintext;
    char flags = CryptoFlagNone;
    if (m_compressionMode == CompressionAlways) {
        body = qCompress(body, 9);
        flags |= CryptoFlagCompression;
    } else if (m_compressionMode == CompressionAuto) {
        const QByteArray compressed = qCompress(body, 9);
        if (compressed.size() < body.size()) {
            body = compressed;
            flags |= CryptoFlagCompression;
        }
    }

    QByteArray integrity;
    if (m_protectionMode == ProtectionChecksum) {
        flags |= CryptoFlagChecksum;
        QDataStream s(&integrity, QIODevice::WriteOnly);
        s << qChecksum(body.constData(), uint(body.size()));
    } else if (m_protectionMode == ProtectionHash) {
        flags |= CryptoFlagHash;
        integrity = QCryptographicHash::hash(body, QCryptographicHash::Sha1);
    }

    // The random byte in front makes two cyphers of one text differ.
    QByteArray block;
    block.reserve(1 + integrity.size() + body.size());
    block.append(char(QRandomGenerator::global()->generate() & 0xFF));
    block.append(integrity);
    block.append(body);

    char last = 0;
    for (int pos = 0; pos < block.size(); ++pos) {
        block[pos] = char(block.at(pos) ^ m_keyParts.at(pos % 8) ^ last);
        last = block.at(pos);
    }

    QByteArray result;
    result.reserve(2 + block.size());
    result.append(kVersion);
    result.append(flags);
    result.append(block);
    m_lastError = ErrorNoError;
    return result;
}

QString SimpleCrypt::decryptToString(const QString &cyphertext)
{
    return QString::fromUtf8(decryptToByteArray(cyphertext));
}

QString SimpleCrypt::decryptToString(const QByteArray &cypher)
{
    return QString::fromUtf8(decryptToByteArray(cypher));
}

QByteArray SimpleCrypt::decryptToByteArray(const QString &cyphertext)
{
    return decryptToByteArray(QByteArray::fromBase64(cyphertext.toLatin1()));
}

QByteArray SimpleCrypt::decryptToByteArray(const QByteArray &cypher)
{
    if (m_keyParts.isEmpty()) {
        qWarning() << "No key set.";
        m_lastError = ErrorNoKeySet;
        return QByteArray();
    }
    if (cypher.size() < 3)
        return QByteArray();
    if (cypher.at(0) != kVersion) {
        m_lastError = ErrorUnknownVersion;
        qWarning() << "Invalid version or not a cyphertext.";
        return QByteArray();
    }

    const char flags = cypher.at(1);
    QByteArray ba = cypher.mid(2);
    char last = 0;
    for (int pos = 0; pos < ba.size(); ++pos) {
        const char current = ba.at(pos);
        ba[pos] = char(current ^ last ^ m_keyParts.at(pos % 8));
        last = current;
    }
    ba = ba.mid(1);   // the random byte

    if (flags & CryptoFlagChecksum) {
        if (ba.size() < 2) {
            m_lastError = ErrorIntegrityFailed;
            return QByteArray();
        }
        quint16 stored = 0;
        {
            QDataStream s(ba.left(2));
            s >> stored;
        }
        ba = ba.mid(2);
        if (qChecksum(ba.constData(), uint(ba.size())) != stored) {
            m_lastError = ErrorIntegrityFailed;
            return QByteArray();
        }
    } else if (flags & CryptoFlagHash) {
        if (ba.size() < kHashSize) {
            m_lastError = ErrorIntegrityFailed;
            return QByteArray();
        }
        const QByteArray stored = ba.left(kHashSize);
        ba = ba.mid(kHashSize);
        if (QCryptographicHash::hash(ba, QCryptographicHash::Sha1) != stored) {
            m_lastError = ErrorIntegrityFailed;
            return QByteArray();
        }
    }

    if (flags & CryptoFlagCompression) {
        ba = safeUncompress(ba);
        if (ba.isEmpty()) {
            // An empty text is never stored compressed: this body was damaged.
            m_lastError = ErrorIntegrityFailed;
            return QByteArray();
        }
    }
    m_lastError = ErrorNoError;
    return ba;
}
