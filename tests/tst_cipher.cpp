#include "testmain.h"

#include <sys/resource.h>
#include <unistd.h>

#include "encryptmanager.h"
#include "messagelog.h"
#include "simplecrypt.h"

namespace {

const quint64 kKey = Q_UINT64_C(572049316);

// Caps the address space to what is in use plus `headroom` for its lifetime,
// so an allocation of gigabytes fails instead of passing unnoticed. Address
// sanitizer builds reserve vast shadow memory and run without the cap.
class AddressSpaceLimit
{
public:
    explicit AddressSpaceLimit(qint64 headroom)
    {
#if !defined(__SANITIZE_ADDRESS__)
        QFile statm(QStringLiteral("/proc/self/statm"));
        if (!statm.open(QIODevice::ReadOnly) || getrlimit(RLIMIT_AS, &m_previous) != 0)
            return;
        const qint64 pages = statm.readAll().split(' ').value(0).toLongLong();
        rlimit capped = m_previous;
        capped.rlim_cur = rlim_t(pages * sysconf(_SC_PAGESIZE) + headroom);
        m_active = setrlimit(RLIMIT_AS, &capped) == 0;
#else
        Q_UNUSED(headroom)
#endif
    }
    ~AddressSpaceLimit()
    {
        if (m_active)
            setrlimit(RLIMIT_AS, &m_previous);
    }
    AddressSpaceLimit(const AddressSpaceLimit &) = delete;
    AddressSpaceLimit &operator=(const AddressSpaceLimit &) = delete;

private:
    rlimit m_previous {};
    bool m_active = false;
};

// A cypher whose body is exactly `body`, marked compressed: what a hostile
// writer who knows the shared key can make.
QString forgeCompressed(const QByteArray &body)
{
    SimpleCrypt crypt(kKey);
    crypt.setCompressionMode(SimpleCrypt::CompressionNever);
    QByteArray cypher = crypt.encryptToByteArray(body);
    cypher[1] = char(SimpleCrypt::CryptoFlagChecksum | SimpleCrypt::CryptoFlagCompression);
    return QString::fromLatin1(cypher.toBase64());
}

} // namespace

class TestCipher : public QObject
{
    Q_OBJECT

private slots:
    void knownTexts_data();
    void knownTexts();
    void roundTrip_data();
    void roundTrip();
    void emptyText();
    void randomByte();
    void modes_data();
    void modes();
    void warnings();
    void integrity();
    void hostileLength_data();
    void hostileLength();
};

void TestCipher::knownTexts_data()
{
    QTest::addColumn<QString>("cypher");
    QTest::addColumn<QString>("plain");
    QTest::newRow("empty") << "AwKkY3s=" << "";
    QTest::newRow("hello") << "AwL+Dajih+uH6A==" << "hello";
    QTest::newRow("unicode") << "AwJnBNazwQK+fUbk0NI2jhj/zoW9feFy" << QString::fromUtf8("Grüße, 世界 ✓");
}

void TestCipher::knownTexts()
{
    QFETCH(QString, cypher);
    QFETCH(QString, plain);
    QCOMPARE(EncryptManager::decode(cypher), plain);
}

void TestCipher::roundTrip_data()
{
    QTest::addColumn<QString>("plain");
    QTest::addColumn<bool>("compressed");
    QTest::newRow("ascii") << "user@example.com" << false;
    QTest::newRow("unicode") << QString::fromUtf8("pässwörd/?#@ 世界 ✓ \U0001F600") << false;
    QTest::newRow("long") << QString(QStringLiteral("line of a console log\n")).repeated(500) << true;
}

void TestCipher::roundTrip()
{
    QFETCH(QString, plain);
    QFETCH(bool, compressed);
    const QString cypher = EncryptManager::encode(plain);
    QVERIFY(!cypher.isEmpty());
    const QByteArray bytes = QByteArray::fromBase64(cypher.toLatin1());
    QCOMPARE(int(bytes.at(0)), 3);
    QCOMPARE(bool(bytes.at(1) & SimpleCrypt::CryptoFlagCompression), compressed);
    QCOMPARE(int(bytes.at(1) & ~SimpleCrypt::CryptoFlagCompression), int(SimpleCrypt::CryptoFlagChecksum));
    QCOMPARE(EncryptManager::decode(cypher), plain);
}

void TestCipher::emptyText()
{
    const QString cypher = EncryptManager::encode(QString());
    QCOMPARE(cypher.size(), 8);
    QCOMPARE(QByteArray::fromBase64(cypher.toLatin1()).size(), 5);
    QCOMPARE(EncryptManager::decode(cypher), QString());
}

void TestCipher::randomByte()
{
    QSet<QString> seen;
    for (int i = 0; i < 16; ++i) {
        const QString cypher = EncryptManager::encode(QStringLiteral("same text"));
        QCOMPARE(EncryptManager::decode(cypher), QStringLiteral("same text"));
        seen.insert(cypher);
    }
    QVERIFY(seen.size() > 1);
}

void TestCipher::modes_data()
{
    QTest::addColumn<int>("compression");
    QTest::addColumn<int>("integrity");
    QTest::addColumn<int>("flags");
    QTest::addColumn<int>("size");   // of the cypher of "hello"
    QTest::newRow("never, none") << int(SimpleCrypt::CompressionNever) << int(SimpleCrypt::ProtectionNone) << 0 << 8;
    QTest::newRow("never, hash") << int(SimpleCrypt::CompressionNever) << int(SimpleCrypt::ProtectionHash) << 4 << 28;
    QTest::newRow("always, checksum") << int(SimpleCrypt::CompressionAlways)
                                      << int(SimpleCrypt::ProtectionChecksum) << 3 << -1;
}

void TestCipher::modes()
{
    QFETCH(int, compression);
    QFETCH(int, integrity);
    QFETCH(int, flags);
    QFETCH(int, size);
    SimpleCrypt crypt(kKey);
    crypt.setCompressionMode(SimpleCrypt::CompressionMode(compression));
    crypt.setIntegrityProtectionMode(SimpleCrypt::IntegrityProtectionMode(integrity));
    const QByteArray cypher = crypt.encryptToByteArray(QStringLiteral("hello"));
    QCOMPARE(int(cypher.at(1)), flags);
    if (size >= 0)
        QCOMPARE(cypher.size(), size);
    SimpleCrypt reader(kKey);
    QCOMPARE(reader.decryptToString(cypher), QStringLiteral("hello"));
    QCOMPARE(reader.lastError(), SimpleCrypt::ErrorNoError);
}

void TestCipher::warnings()
{
    {
        MessageLog log(QtWarningMsg);
        QCOMPARE(EncryptManager::decode(QString()), QString());
        QCOMPARE(EncryptManager::decode(QStringLiteral("AwI=")), QString());   // too short
        QVERIFY2(log.messages().isEmpty(), qPrintable(log.messages().join(QLatin1Char('|'))));
    }
    {
        MessageLog log(QtWarningMsg);
        QByteArray bytes = QByteArray::fromBase64("AwL+Dajih+uH6A==");
        bytes[0] = 2;
        QCOMPARE(EncryptManager::decode(QString::fromLatin1(bytes.toBase64())), QString());
        QCOMPARE(log.messages(), QStringList(QStringLiteral("Invalid version or not a cyphertext.")));
        QCOMPARE(EncryptManager::decode(QStringLiteral("not a cypher at all")), QString());
    }
    {
        MessageLog log(QtWarningMsg);
        SimpleCrypt keyless;
        QCOMPARE(keyless.encryptToByteArray(QStringLiteral("x")), QByteArray());
        QCOMPARE(keyless.lastError(), SimpleCrypt::ErrorNoKeySet);
        QCOMPARE(keyless.decryptToString(QStringLiteral("AwL+Dajih+uH6A==")), QString());
        QCOMPARE(log.messages(), QStringList({ QStringLiteral("No key set."), QStringLiteral("No key set.") }));
    }
}

void TestCipher::integrity()
{
    QByteArray bytes = QByteArray::fromBase64("AwL+Dajih+uH6A==");
    bytes[bytes.size() - 1] = char(bytes.at(bytes.size() - 1) ^ 0x01);
    MessageLog log(QtWarningMsg);
    SimpleCrypt crypt(kKey);
    QCOMPARE(crypt.decryptToByteArray(bytes), QByteArray());
    QCOMPARE(crypt.lastError(), SimpleCrypt::ErrorIntegrityFailed);
    QVERIFY(log.messages().isEmpty());
    QCOMPARE(SimpleCrypt(kKey).decryptToByteArray(bytes.left(4)), QByteArray());   // checksum cut off
}

void TestCipher::hostileLength_data()
{
    QTest::addColumn<QByteArray>("body");
    const QByteArray stream = qCompress(QByteArray(4000, 'a'), 9);   // prefix 0x00000FA0
    auto withPrefix = [&](quint32 length) {
        QByteArray b = stream;
        b[0] = char(length >> 24);
        b[1] = char(length >> 16);
        b[2] = char(length >> 8);
        b[3] = char(length);
        return b;
    };
    QTest::newRow("4 GiB") << withPrefix(0xFFFFFFFFu);
    QTest::newRow("2 GiB") << withPrefix(0x7FFFFFF0u);
    QTest::newRow("100 MiB") << withPrefix(100u << 20);
    QTest::newRow("too small") << withPrefix(10);
    QTest::newRow("prefix only") << QByteArray("\x7f\xff\xff\xff", 4);
    QTest::newRow("short prefix") << QByteArray("\x7f\xff", 2);
    QTest::newRow("broken stream") << QByteArray("\x00\x00\x10\x00garbage", 11);
}

void TestCipher::hostileLength()
{
    QFETCH(QByteArray, body);
    const QString cypher = forgeCompressed(body);
    {
        // The claimed length is refused before the inflater runs: a run of it
        // would allocate that length first (and warn, once memory runs out).
        AddressSpaceLimit limit(64 << 20);
        MessageLog log(QtWarningMsg);
        QCOMPARE(EncryptManager::decode(cypher), QString());
        if (QByteArray(QTest::currentDataTag()) != "broken stream")
            QVERIFY2(log.messages().isEmpty(), qPrintable(log.messages().join(QLatin1Char('|'))));
    }
    // The honest form of the same stream still decodes.
    QCOMPARE(EncryptManager::decode(forgeCompressed(qCompress(QByteArray(4000, 'a'), 9))), QString(4000, QLatin1Char('a')));
}

QUILLARY_TEST_MAIN(TestCipher)
#include "tst_cipher.moc"
