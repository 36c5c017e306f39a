#pragma once

#include <QByteArray>
#include <QString>
#include <QVector>

// A light cipher for texts that must not be stored in the clear (stored
// credentials, console log lines). It hides text from casual reading; with a
// key known to every installation it is no protection against a determined
// reader. The byte format is stored on disk and exchanged: keep it.
class SimpleCrypt
{
public:
    enum CompressionMode { CompressionAuto, CompressionAlways, CompressionNever };
    enum IntegrityProtectionMode { ProtectionNone, ProtectionChecksum, ProtectionHash };
    enum Error { ErrorNoError, ErrorNoKeySet, ErrorUnknownVersion, ErrorIntegrityFailed };

    SimpleCrypt();
    explicit SimpleCrypt(quint64 key);

    void setKey(quint64 key);
    bool hasKey() const { return !m_keyParts.isEmpty(); }

    void setCompressionMode(CompressionMode mode) { m_compressionMode = mode; }
    CompressionMode compressionMode() const { return m_compressionMode; }
    void setIntegrityProtectionMode(IntegrityProtectionMode mode) { m_protectionMode = mode; }
    IntegrityProtectionMode integrityProtectionMode() const { return m_protectionMode; }
    Error lastError() const { return m_lastError; }

    QString encryptToString(const QString &plaintext);
    QString encryptToString(const QByteArray &plaintext);
    QByteArray encryptToByteArray(const QString &plaintext);
    QByteArray encryptToByteArray(const QByteArray &plaintext);

    QString decryptToString(const QString &cyphertext);
    QString decryptToString(const QByteArray &cypher);
    QByteArray decryptToByteArray(const QString &cyphertext);
    QByteArray decryptToByteArray(const QByteArray &cypher);

    enum CryptoFlag { CryptoFlagNone = 0, CryptoFlagCompression = 0x01, CryptoFlagChecksum = 0x02,
                      CryptoFlagHash = 0x04 };

private:
    quint64 m_key = 0;
    QVector<char> m_keyParts;
    CompressionMode m_compressionMode = CompressionAuto;
    IntegrityProtectionMode m_protectionMode = ProtectionChecksum;
    Error m_lastError = ErrorNoError;
};
