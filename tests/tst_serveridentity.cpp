#include "testmain.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QProcess>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QTemporaryDir>
#include <QUrl>

#include <atomic>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "CURLFtp.h"
#include "bridge.h"
#include "filesizecap.h"
#include "mainwindow.h"
#include "peakmemory.h"
#include "publishtestutil.h"
#include "serveridentity.h"
#include "sshhostkeyoffer.h"
#include "testbytes.h"
#include "testservers.h"
#include "webfixture.h"

using PublishTest::calls;

namespace {

// Runs a shell command line; its output, or a null array when it failed.
QByteArray shell(const QString &command)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    p.start(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), command });
    if (!p.waitForFinished(60000) || p.exitStatus() != QProcess::NormalExit || p.exitCode() != 0)
        return QByteArray();
    const QByteArray out = p.readAllStandardOutput();
    return out.isNull() ? QByteArray("") : out;
}

// The file's permission bits as stored on disk.
int mode(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? int(st.st_mode & 07777) : -1;
}

QByteArray readFile(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// Writes a file readable and writable by its user only, as the program keeps its stores.
bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size()
        && f.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

// What a path is, without opening anything that could block or never end:
// its type, inode and size, a link's target, a regular file's content hash.
QByteArray pathState(const QString &path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat st;
    if (::lstat(name.constData(), &st) != 0)
        return "missing";
    QByteArray state = QByteArray::number(int(st.st_mode)) + ' ' + QByteArray::number(qulonglong(st.st_ino)) + ' '
        + QByteArray::number(qlonglong(st.st_size));
    if (S_ISLNK(st.st_mode)) {
        char target[4096];
        const ssize_t size = ::readlink(name.constData(), target, sizeof target);
        state += " -> " + QByteArray(target, int(qMax<ssize_t>(size, 0)));
    } else if (S_ISREG(st.st_mode)) {
        QFile f(path);
        state += ' ' + (f.open(QIODevice::ReadOnly) ? QCryptographicHash::hash(f.readAll(), QCryptographicHash::Md5).toHex()
                                                     : QByteArray("unreadable"));
    }
    return state;
}

// The files of a folder, hidden ones too: a write that failed leaves none behind.
QStringList filesIn(const QString &folder)
{
    return QDir(folder).entryList(QDir::Files | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

} // namespace

// Servers' identities learnt at first use and held against them later: SSH
// host keys (sshd) and TLS certificates (vsftpd, explicit FTPS), and the
// stores that keep them, which must be the user's own files to be trusted.
class TestServerIdentity : public QObject
{
    Q_OBJECT

    QTemporaryDir keys;
    // Servers with the shared test identity, for the tests of the stores.
    TestServerPool pool;

    QString key(const QString &name) const { return keys.path() + QLatin1Char('/') + name; }

    // The pin of a PEM file's key: the SHA-256 of its public key's DER form.
    static QByteArray pinOf(const QString &pem)
    {
        const QByteArray hash = shell(QStringLiteral("openssl pkey -in '%1' -pubout -outform DER"
                                                     " | openssl dgst -sha256 -binary | base64 -w0")
                                          .arg(pem));
        return "sha256//" + hash.trimmed();
    }
    // A host key's fingerprint as ssh-keygen shows it: "SHA256:...".
    static QString sshFingerprintOf(const QString &publicKey)
    {
        return QString::fromLatin1(shell(QStringLiteral("ssh-keygen -l -E sha256 -f '%1'").arg(publicKey)).split(' ').value(1));
    }
    static QString storeOf(TestServer::Kind kind)
    {
        return kind == TestServer::Sftp ? ServerIdentity::knownHostsPath() : ServerIdentity::pinsPath();
    }
    // What the program remembers of the server, from its own files.
    static QByteArray remembered(TestServer::Kind kind, int port)
    {
        const QByteArray name = "[127.0.0.1]:" + QByteArray::number(port) + ' ';
        for (const QByteArray &line : readFile(storeOf(kind)).split('\n'))
            if (line.startsWith(name))
                return line.mid(name.size());
        return QByteArray();
    }
    // Lines of the store that name the server.
    static int entriesFor(TestServer::Kind kind, int port)
    {
        return readFile(storeOf(kind)).count("[127.0.0.1]:" + QByteArray::number(port) + ' ');
    }
    // An entry for another server, in the store's format: it must survive
    // whatever happens to the entries of the servers under test.
    static QByteArray keptEntry(TestServer::Kind kind, int n = 0)
    {
        return kind == TestServer::Sftp
            ? "[keep" + QByteArray::number(n) + ".example]:2222 ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIHG7KvS4b2mB0lB1y1Lp1mXpQ0d4E2x8pYqX6cTuvBr1\n"
            : "[keep" + QByteArray::number(n) + ".example]:21 sha256//ZK2TnwmcVJ8w4H3a1Iq9y2Wq1yFJ3Y5S3QKcZb1yG6s=\n";
    }
    // Logs in with a fresh client, sends a file and reads it back.
    static bool logInAndTransfer(TestServer &server, QString *error)
    {
        CURLFtp ftp;
        QByteArray data = TestBytes::pattern(70000);
        const QByteArray sent = data;
        QBuffer back;
        back.open(QIODevice::WriteOnly);
        const bool ok = ftp.connectToUrl(server.storedUrl()) && ftp.put(data, QStringLiteral("/id.bin"))
            && ftp.get(QStringLiteral("/id.bin"), &back) && back.data() == sent;
        *error = ftp.errorString();
        return ok;
    }
    static QString changedText(const TestServer &server)
    {
        return QStringLiteral("The identity of the server 127.0.0.1:%1 has changed").arg(server.port());
    }
    static int connections(const TestServer &server)
    {
        return server.protocolLog().count(server.isSftp() ? QStringLiteral("Connection from 127.0.0.1")
                                                          : QStringLiteral("CONNECT: Client"));
    }
    static bool restart(TestServer &server, const QString &identity)
    {
        server.stop();
        server.setIdentity(identity);
        return server.start();
    }
    // A server that shows another identity is refused before any log-in:
    // it saw the connection, but no USER (or SSH authentication request).
    static void expectRefusedBeforeLogIn(TestServer &server, const QString &expected)
    {
        const int attempts = server.authAttempts();
        const int connected = connections(server);
        QString error;
        QVERIFY(!logInAndTransfer(server, &error));
        QVERIFY2(error.startsWith(expected), qPrintable(error));
        QTRY_VERIFY_WITH_TIMEOUT(connections(server) > connected, 5000);
        QCOMPARE(server.authAttempts(), attempts);
    }

private slots:
    void initTestCase()
    {
        QVERIFY(keys.isValid());
        // Two self-signed certificates and two SSH host keys of each type,
        // each pair with different keys; a throw-away authority and
        // certificates it signed.
        const QString selfSigned = QStringLiteral("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
                                                  " -keyout '%1' -out '%1' 2>/dev/null");
        QVERIFY(!shell(selfSigned.arg(key("selfA.pem"))).isNull());
        QVERIFY(!shell(selfSigned.arg(key("selfB.pem"))).isNull());
        for (const char *name : { "sshA", "sshB" })
            QVERIFY(!shell(QStringLiteral("ssh-keygen -q -t ed25519 -N '' -f '%1'").arg(key(name))).isNull());
        for (const char *name : { "rsaA", "rsaB" })
            QVERIFY(!shell(QStringLiteral("ssh-keygen -q -t rsa -b 3072 -N '' -f '%1'").arg(key(name))).isNull());
        QVERIFY(!shell(QStringLiteral("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj '/CN=Throw-away test CA'"
                                      " -addext basicConstraints=critical,CA:TRUE"
                                      " -addext keyUsage=critical,keyCertSign,cRLSign"
                                      " -keyout '%1' -out '%2' 2>/dev/null")
                               .arg(key("ca.key"), key("ca.pem")))
                         .isNull());
        const QString signedBy = QStringLiteral(
                "cd '%1' && openssl req -newkey rsa:2048 -nodes -subj /CN=%2 -keyout %3.key -out %3.csr 2>/dev/null"
                " && printf 'subjectAltName=%4\\nextendedKeyUsage=serverAuth\\n' > %3.ext"
                " && openssl x509 -req -in %3.csr -CA ca.pem -CAkey ca.key -CAcreateserial -days 2"
                " -extfile %3.ext -out %3.crt 2>/dev/null && cat %3.key %3.crt > %3.pem");
        QVERIFY(!shell(signedBy.arg(keys.path(), "127.0.0.1", "caSigned1", "IP:127.0.0.1")).isNull());
        QVERIFY(!shell(signedBy.arg(keys.path(), "127.0.0.1", "caSigned2", "IP:127.0.0.1")).isNull());
        QVERIFY(!shell(signedBy.arg(keys.path(), "other.example", "caOtherName", "DNS:other.example")).isNull());
        QVERIFY(pinOf(key("selfA.pem")) != pinOf(key("selfB.pem")));
    }

    void init()
    {
        QFile::remove(ServerIdentity::knownHostsPath());
        QFile::remove(ServerIdentity::pinsPath());
        ServerIdentity::setExtraAuthorityForTests(QString());
    }
    void cleanup()
    {
        ServerIdentity::setExtraAuthorityForTests(QString());
        qunsetenv("QUILLARY_CA_FILE");
    }

    // First use accepted and remembered, the same identity accepted again, a
    // changed one refused before any authentication reaches the server, and
    // accepted again once forgotten.
    void changedIdentityRefused_data()
    {
        QTest::addColumn<TestServer::Kind>("kind");
        QTest::addColumn<QString>("first");
        QTest::addColumn<QString>("second");
        QTest::newRow("sftp") << TestServer::Sftp << "sshA" << "sshB";
        QTest::newRow("ftps explicit") << TestServer::VsftpdExplicit << "selfA.pem" << "selfB.pem";
    }
    void changedIdentityRefused()
    {
        QFETCH(TestServer::Kind, kind);
        QFETCH(QString, first);
        QFETCH(QString, second);
        const bool ssh = kind == TestServer::Sftp;
        TestServer server(kind);
        server.setIdentity(key(first));
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QString site = server.url("/site").toString();
        Bridge bridge;
        QString error;

        // A log-in refused for its password teaches nothing.
        {
            CURLFtp ftp;
            QVERIFY(!ftp.connectToUrl(server.storedUrl("/", server.user(), "wrong")));
            QVERIFY(remembered(kind, server.port()).isEmpty());
        }
        QCOMPARE(bridge.ftpIdentityFingerprint(site), QString());

        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        const QByteArray firstIdentity = remembered(kind, server.port());
        QVERIFY(!firstIdentity.isEmpty());
        if (ssh) {
            QVERIFY2(readFile(key(first) + ".pub").startsWith(firstIdentity + ' '), firstIdentity.constData());
            QCOMPARE(bridge.ftpIdentityFingerprint(site), sshFingerprintOf(key(first) + ".pub"));
            QVERIFY(bridge.ftpIdentityFingerprint(site).startsWith("SHA256:"));
        } else {
            QCOMPARE(firstIdentity, pinOf(key(first)));
            QCOMPARE(bridge.ftpIdentityFingerprint(site), QString::fromLatin1(firstIdentity));
        }
        QCOMPARE(mode(storeOf(kind)), 0600);

        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QCOMPARE(remembered(kind, server.port()), firstIdentity);

        // Another key on the same host and port.
        QVERIFY2(restart(server, key(second)), qPrintable(server.errorString()));
        const int attempts = server.authAttempts();
        const int connected = connections(server);
        const int logins = server.logins();
        {
            CURLFtp ftp;
            QVERIFY(!ftp.connectToUrl(server.storedUrl()));
            QVERIFY2(ftp.errorString().startsWith(changedText(server)), qPrintable(ftp.errorString()));
            if (ssh)
                QVERIFY2(ftp.errorString().contains(sshFingerprintOf(key(second) + ".pub")), qPrintable(ftp.errorString()));
        }
        // The text reaches the page of a publish run, and the test of a site.
        // The run connects once: a refused identity is not tried again.
        QTRY_VERIFY_WITH_TIMEOUT(connections(server) > connected, 5000);
        const int beforeRun = connections(server);
        QSignalSpy page(&bridge, &Bridge::jsChanged);
        QVERIFY(bridge.initFileManager(site));
        bridge.uploadData("a.html", QString("a"));
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmError(").isEmpty(), 60000);
        QVERIFY2(calls(page, "Bridge._fmError(").first().contains(changedText(server)),
                 qPrintable(calls(page, "Bridge._fmError(").first()));
        bridge.exitPublish();
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmClose(").isEmpty(), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(connections(server) > beforeRun, 5000);
        QTest::qWait(300);
        QCOMPARE(connections(server) - beforeRun, 1);
        QVERIFY(!bridge.testFtpLocation(site));
        // The server saw the connections, but not one log-in attempt.
        QTRY_VERIFY_WITH_TIMEOUT(connections(server) > connected, 5000);
        QCOMPARE(server.authAttempts(), attempts);
        QCOMPARE(server.logins(), logins);
        QCOMPARE(remembered(kind, server.port()), firstIdentity);
        QVERIFY(!QFile::exists(server.rootFolder() + "/site/a.html"));

        // Forgotten on request (the location as the site manager holds it,
        // plain credentials): the new key is learnt at the next log-in.
        QVERIFY(bridge.forgetFtpIdentity(site));
        QVERIFY(remembered(kind, server.port()).isEmpty());
        QCOMPARE(bridge.ftpIdentityFingerprint(site), QString());
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QVERIFY(!remembered(kind, server.port()).isEmpty());
        QVERIFY(remembered(kind, server.port()) != firstIdentity);
        QCOMPARE(bridge.ftpIdentityFingerprint(site),
                 ssh ? sshFingerprintOf(key(second) + ".pub") : QString::fromLatin1(pinOf(key(second))));
        QVERIFY(server.authAttempts() > attempts);
    }

    // A host key that changed to or from an RSA key is refused with the same
    // text as any changed key, before any authentication: whether the SSH
    // library can check the new key (an Ed25519 key where an RSA key was
    // remembered) or not (an RSA key that OpenSSH offers only with SHA-2
    // signatures). Forgotten, a server the library cannot check says so.
    void changedRsaHostKeyRefused_data()
    {
        QTest::addColumn<QString>("remembered");
        QTest::addColumn<QString>("shown");
        QTest::newRow("rsa remembered, ed25519 shown") << "rsaA" << "sshA";
        QTest::newRow("ed25519 remembered, rsa shown") << "sshA" << "rsaA";
    }
    void changedRsaHostKeyRefused()
    {
        QFETCH(QString, remembered);
        QFETCH(QString, shown);
        TestServer server(TestServer::Sftp);
        server.setIdentity(key(shown));
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QByteArray publicKey = readFile(key(remembered) + ".pub").split(' ').mid(0, 2).join(' ');
        QVERIFY(writeFile(ServerIdentity::knownHostsPath(), keptEntry(TestServer::Sftp) + "[127.0.0.1]:"
                              + QByteArray::number(server.port()) + ' ' + publicKey + '\n'));
        const QByteArray store = readFile(ServerIdentity::knownHostsPath());
        const int attempts = server.authAttempts();
        QString error;
        QVERIFY(!logInAndTransfer(server, &error));
        QVERIFY2(error.startsWith(changedText(server)), qPrintable(error));
        QVERIFY2(error.contains(publicKey.split(' ').first() + ' ' + sshFingerprintOf(key(remembered) + ".pub")),
                 qPrintable(error));
        QCOMPARE(server.authAttempts(), attempts);
        QCOMPARE(readFile(ServerIdentity::knownHostsPath()), store);

        QVERIFY(ServerIdentity::forget("sftp", server.host(), server.port()));
        const bool checkable = shown != "rsaA";
        QCOMPARE(logInAndTransfer(server, &error), checkable);
        if (!checkable) {
            QVERIFY2(error.contains("which this program cannot check"), qPrintable(error));
            QCOMPARE(server.authAttempts(), attempts);
            QCOMPARE(readFile(ServerIdentity::knownHostsPath()), keptEntry(TestServer::Sftp));
        }
    }

    // The question about a server's host key types ends within its time
    // whatever the server sends: endless lines without a version, nothing,
    // or a packet larger than any greeting.
    void hostKeyQuestionBounded_data()
    {
        QTest::addColumn<QByteArray>("greeting");
        QTest::addColumn<bool>("endless");
        QTest::newRow("endless lines") << QByteArray() << true;
        QTest::newRow("silence") << QByteArray() << false;
        QTest::newRow("version, then silence") << QByteArray("SSH-2.0-Test\r\n") << false;
        QTest::newRow("huge packet") << QByteArray("SSH-2.0-Test\r\n\x7f\xff\xff\xff\x04\x14") << false;
    }
    void hostKeyQuestionBounded()
    {
        QFETCH(QByteArray, greeting);
        QFETCH(bool, endless);
        QTcpServer listener;
        QVERIFY(listener.listen(QHostAddress::LocalHost, 0));
        QList<QTcpSocket *> peers;
        connect(&listener, &QTcpServer::newConnection, this, [&] {
            QTcpSocket *peer = listener.nextPendingConnection();
            peer->write(greeting);
            peers << peer;
        });
        qint64 sent = 0;
        QTimer feeder;
        connect(&feeder, &QTimer::timeout, this, [&] {
            for (QTcpSocket *peer : peers) {
                if (endless && peer->state() == QAbstractSocket::ConnectedState && sent < (64 << 20)
                    && peer->bytesToWrite() < (1 << 20)) {
                    sent += peer->write(QByteArray(64, 'x') + "\r\n");
                }
            }
        });
        feeder.start(1);
        std::atomic<bool> done { false };
        QStringList types;
        QString error;
        qint64 elapsed = 0;
        std::thread question([&] {
            QElapsedTimer clock;
            clock.start();
            types = sshOfferedHostKeyTypes(QStringLiteral("127.0.0.1"), listener.serverPort(), 2000, &error);
            elapsed = clock.elapsed();
            done = true;
        });
        QTRY_VERIFY_WITH_TIMEOUT(done, 15000);
        question.join();
        QVERIFY(types.isEmpty());
        QVERIFY(!error.isEmpty());
        QVERIFY2(elapsed < 3500, qPrintable(QString::number(elapsed)));
        qDeleteAll(peers);
    }

    // A server whose certificate an authority vouches for is remembered as
    // such: renewed certificates pass, but one no authority vouches for (a
    // self-signed one, or one the authority signed for another name) is
    // refused there before USER, until the identity is forgotten.
    void authorityVouchedIdentityHeld()
    {
        ServerIdentity::setExtraAuthorityForTests(key("ca.pem"));
        TestServer server(TestServer::VsftpdExplicit);
        server.setIdentity(key("caSigned1.pem"));
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        const QString site = server.url("/").toString();
        QString error;
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QCOMPARE(remembered(TestServer::VsftpdExplicit, server.port()), QByteArray("authority"));
        Bridge bridge;
        QCOMPARE(bridge.ftpIdentityFingerprint(site), QStringLiteral("authority"));

        QVERIFY2(restart(server, key("caSigned2.pem")), qPrintable(server.errorString()));
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QCOMPARE(remembered(TestServer::VsftpdExplicit, server.port()), QByteArray("authority"));

        QVERIFY2(restart(server, key("selfA.pem")), qPrintable(server.errorString()));
        expectRefusedBeforeLogIn(server, changedText(server));
        QVERIFY2(restart(server, key("caOtherName.pem")), qPrintable(server.errorString()));
        expectRefusedBeforeLogIn(server, changedText(server));
        QCOMPARE(remembered(TestServer::VsftpdExplicit, server.port()), QByteArray("authority"));

        // Forgotten: the self-signed certificate is learnt like any first one.
        QVERIFY2(restart(server, key("selfA.pem")), qPrintable(server.errorString()));
        QVERIFY(bridge.forgetFtpIdentity(site));
        QVERIFY(remembered(TestServer::VsftpdExplicit, server.port()).isEmpty());
        const int logins = server.logins();
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QVERIFY(server.logins() > logins);
        QCOMPARE(remembered(TestServer::VsftpdExplicit, server.port()), pinOf(key("selfA.pem")));
    }

    // No environment variable makes the program trust an authority: a
    // certificate of the tests' authority counts as self-signed until the
    // tests' own setting names it. A pinned server that then shows a vouched
    // certificate is held to the authorities from there on.
    void environmentTrustsNoAuthority()
    {
        qputenv("QUILLARY_CA_FILE", QFile::encodeName(key("ca.pem")));
        TestServer server(TestServer::VsftpdExplicit);
        server.setIdentity(key("caSigned1.pem"));
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QString error;
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QCOMPARE(remembered(TestServer::VsftpdExplicit, server.port()), pinOf(key("caSigned1.pem")));
        QVERIFY2(restart(server, key("caSigned2.pem")), qPrintable(server.errorString()));
        expectRefusedBeforeLogIn(server, changedText(server));

        ServerIdentity::setExtraAuthorityForTests(key("ca.pem"));
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QCOMPARE(remembered(TestServer::VsftpdExplicit, server.port()), QByteArray("authority"));
        QVERIFY2(restart(server, key("caSigned1.pem")), qPrintable(server.errorString()));
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QVERIFY2(restart(server, key("selfA.pem")), qPrintable(server.errorString()));
        expectRefusedBeforeLogIn(server, changedText(server));
    }

    // A store that is not a file of the user's own in its own format refuses
    // every connection that needs it, at once and naming the file, and is
    // left exactly as it was; forgetting refuses to rewrite it.
    void unusableStoreRefuses_data()
    {
        QTest::addColumn<TestServer::Kind>("kind");
        QTest::addColumn<QString>("how");
        QTest::addColumn<QString>("reason");
        const struct { const char *how; const char *reason; } cases[] = {
            { "too large", "larger than 4194304 bytes" },
            { "unreadable", "Permission denied" },
            { "others may write", "other users may change it" },
            { "link to a store", "it is a link" },
            { "link to /dev/zero", "it is a link" },
            { "named pipe", "not a regular file" },
            { "folder", "not a regular file" },
            { "not its format", "line 2 is not an entry" },
            { "zero bytes", "line 1 is not an entry" },
        };
        for (TestServer::Kind kind : { TestServer::Sftp, TestServer::VsftpdExplicit }) {
            for (const auto &c : cases)
                QTest::newRow(qPrintable(TestServer::kindName(kind) + ": " + c.how)) << kind << c.how << c.reason;
        }
    }
    void unusableStoreRefuses()
    {
        QFETCH(TestServer::Kind, kind);
        QFETCH(QString, how);
        QFETCH(QString, reason);
        const bool ssh = kind == TestServer::Sftp;
        const QString path = storeOf(kind);
        const QByteArray name = QFile::encodeName(path);
        const QByteArray valid = keptEntry(kind);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (how == "too large") {
            QByteArray text = valid;
            while (text.size() <= (4 << 20))
                text += "# " + QByteArray(1000, 'x') + '\n';
            QVERIFY(writeFile(path, text));
        } else if (how == "unreadable") {
            QVERIFY(writeFile(path, valid));
            QVERIFY(::chmod(name.constData(), 0) == 0);
        } else if (how == "others may write") {
            QVERIFY(writeFile(path, valid));
            QVERIFY(::chmod(name.constData(), 0666) == 0);
        } else if (how == "link to a store") {
            QVERIFY(writeFile(key("linked-store"), valid));
            QVERIFY(QFile::link(key("linked-store"), path));
        } else if (how == "link to /dev/zero") {
            QVERIFY(QFile::link("/dev/zero", path));
        } else if (how == "named pipe") {
            QVERIFY(::mkfifo(name.constData(), 0600) == 0);
        } else if (how == "folder") {
            QVERIFY(QDir().mkpath(path));
        } else if (how == "not its format") {
            QVERIFY(writeFile(path, valid + (ssh ? "keep.example ssh-ed25519\n" : "[keep.example]:21 keep\n")));
        } else {
            QVERIFY(writeFile(path, QByteArray(65536, '\0')));
        }
        struct Restore
        {
            QString path;
            ~Restore()
            {
                ::chmod(QFile::encodeName(path).constData(), 0600);
                QDir(path).removeRecursively();
                QFile::remove(path);
            }
        } restore { path };
        const QByteArray before = pathState(path);
        QString error;
        TestServer *server = pool.get(kind, &error);
        QVERIFY2(server, qPrintable(error));
        const qint64 memoryBefore = TestMemory::peakRssKiB();
        const int attempts = server->authAttempts();

        QElapsedTimer clock;
        clock.start();
        {
            CURLFtp ftp;
            QVERIFY(!ftp.connectToUrl(server->storedUrl()));
            error = ftp.errorString();
        }
        QVERIFY2(clock.elapsed() < 10000, qPrintable(QString::number(clock.elapsed())));
        QVERIFY2(error.startsWith(QStringLiteral("The file %1, ").arg(path)), qPrintable(error));
        QVERIFY2(error.contains(reason), qPrintable(error));
        QCOMPARE(server->authAttempts(), attempts);

        Bridge bridge;
        QCOMPARE(bridge.testFtpLocation(server->url().toString()), false);
        QCOMPARE(bridge.ftpIdentityFingerprint("ftps://u:p@keep0.example:21/"), QString());
        QCOMPARE(ServerIdentity::forget(server->scheme(), "keep0.example", ssh ? 2222 : 21), false);
        QCOMPARE(bridge.forgetFtpIdentity(server->url().toString()), false);
        QVERIFY2(clock.elapsed() < 20000, qPrintable(QString::number(clock.elapsed())));
        QCOMPARE(server->authAttempts(), attempts);
        QCOMPARE(pathState(path), before);
        if (how == "link to a store")
            QCOMPARE(readFile(key("linked-store")), valid);
        QVERIFY2(TestMemory::peakRssKiB() - memoryBefore < 64 * 1024,
                 qPrintable(QString::number(TestMemory::peakRssKiB() - memoryBefore)));
    }

    // Two first connections at once: when both meet the same identity, it is
    // remembered once; when another identity was remembered for the server
    // while a log-in ran (another connection, another instance of the
    // program), that log-in is refused and neither entry is lost.
    void concurrentFirstConnections_data()
    {
        TestServer::addKindRows({ TestServer::Sftp, TestServer::VsftpdExplicit });
    }
    void concurrentFirstConnections()
    {
        QFETCH(TestServer::Kind, kind);
        const bool ssh = kind == TestServer::Sftp;
        const QString path = storeOf(kind);
        QVERIFY(writeFile(path, keptEntry(kind)));
        QString error;
        TestServer *server = pool.get(kind, &error);
        QVERIFY2(server, qPrintable(error));
        const QUrl url = server->storedUrl();

        std::atomic<int> succeeded { 0 };
        auto connectOnce = [&succeeded, url] {
            CURLFtp ftp;
            if (ftp.connectToUrl(url))
                ++succeeded;
        };
        std::thread one(connectOnce), two(connectOnce);
        one.join();
        two.join();
        QCOMPARE(succeeded.load(), 2);
        QCOMPARE(entriesFor(kind, server->port()), 1);
        QVERIFY(readFile(path).startsWith(keptEntry(kind)));
        const QByteArray learnt = remembered(kind, server->port());

        // The other identity arrives while this log-in runs: the test holds
        // the store's lock as another instance would, and writes it then.
        QVERIFY(ServerIdentity::forget(server->scheme(), server->host(), server->port()));
        const QByteArray other = ssh ? readFile(key("sshB.pub")).split(' ').mid(0, 2).join(' ')
                                     : pinOf(key("selfB.pem"));
        const QByteArray written = keptEntry(kind) + "[127.0.0.1]:" + QByteArray::number(server->port()) + ' ' + other + '\n';
        QLockFile lock(path + ".lock");
        QVERIFY(lock.tryLock(0));
        const int logins = server->logins();
        bool ok = true;
        QString refusal;
        std::thread late([&] {
            CURLFtp ftp;
            ok = ftp.connectToUrl(url);
            refusal = ftp.errorString();
        });
        QElapsedTimer clock;
        clock.start();
        while (server->logins() == logins && clock.elapsed() < 20000)
            QThread::msleep(20);
        const bool loggedIn = server->logins() > logins;
        const bool wrote = writeFile(path, written);
        lock.unlock();
        late.join();
        QVERIFY(loggedIn);
        QVERIFY(wrote);
        QVERIFY(!ok);
        QVERIFY2(refusal.startsWith(changedText(*server)) && refusal.contains("another identity was remembered"),
                 qPrintable(refusal));
        QCOMPARE(readFile(path), written);
        QVERIFY(learnt != other);
    }

    // A store write that fails (a full disk) keeps the former store whole and
    // leaves no temporary file: forgetting says false, and a first log-in
    // whose server could not be remembered is not used.
    void storeWriteFails_data()
    {
        QTest::addColumn<TestServer::Kind>("kind");
        QTest::addColumn<bool>("forgetting");
        QTest::newRow("ftps forget") << TestServer::VsftpdExplicit << true;
        QTest::newRow("sftp forget") << TestServer::Sftp << true;
        QTest::newRow("ftps first use") << TestServer::VsftpdExplicit << false;
        QTest::newRow("sftp first use") << TestServer::Sftp << false;
    }
    void storeWriteFails()
    {
        QFETCH(TestServer::Kind, kind);
        QFETCH(bool, forgetting);
        const QString path = storeOf(kind);
        QByteArray text;
        for (int i = 0; i < 40; ++i)
            text += keptEntry(kind, i);
        QVERIFY(writeFile(path, text));
        QString error;
        TestServer *server = pool.get(kind, &error);
        QVERIFY2(server, qPrintable(error));
        const QString scheme = server->scheme();
        const QString folder = QFileInfo(path).absolutePath();
        const QStringList files = filesIn(folder);
        {
            FileSizeCap cap(1000);
            QVERIFY(cap.active);
            if (forgetting) {
                QCOMPARE(ServerIdentity::forget(scheme, "keep7.example", kind == TestServer::Sftp ? 2222 : 21), false);
            } else {
                CURLFtp ftp;
                QVERIFY(!ftp.connectToUrl(server->storedUrl()));
                error = ftp.errorString();
            }
        }
        QCOMPARE(readFile(path), text);
        QCOMPARE(filesIn(folder), files);
        if (forgetting) {
            QCOMPARE(ServerIdentity::forget(scheme, "keep7.example", kind == TestServer::Sftp ? 2222 : 21), true);
            QVERIFY(!readFile(path).contains("keep7.example"));
            QCOMPARE(readFile(path).count('\n'), 39);
        } else {
            QVERIFY2(error.contains("could not be stored in " + path), qPrintable(error));
            CURLFtp ftp;
            QVERIFY2(ftp.connectToUrl(server->storedUrl()), qPrintable(ftp.errorString()));
            QVERIFY(readFile(path).startsWith(text));
            QCOMPARE(entriesFor(kind, server->port()), 1);
        }
    }

    // A site that is removed takes its server's identity with it, unless another
    // site still names the server. An edit keeps every identity: the page stores
    // each change of a field, and a host or port typed anew passes through others.
    void siteChangesForgetIdentity()
    {
        const QByteArray sshKey = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIHG7KvS4b2mB0lB1y1Lp1mXpQ0d4E2x8pYqX6cTuvBr1";
        QVERIFY(writeFile(ServerIdentity::knownHostsPath(), "[127.0.0.1]:2222 " + sshKey + "\n[127.0.0.1]:2223 " + sshKey + "\n"));
        QVERIFY(writeFile(ServerIdentity::pinsPath(), "[127.0.0.1]:990 sha256//AAAA\n[ftp.example.com]:21 sha256//BBBB\n"));
        auto has = [](const QString &path, const QByteArray &name) {
            return readFile(path).contains("\n" + name + " ") || readFile(path).startsWith(name + " ");
        };
        Bridge bridge;
        bridge.regAddFtp({ { "location", "ftps://x:y@ftp.example.com:21/other" } });
        bridge.regAddFtp({ { "location", "ftps://u:p@ftp.example.com:21/" } });
        bridge.regAddFtp({ { "location", "ftps://u:p@127.0.0.1:990/a" } });
        bridge.regAddFtp({ { "location", "sftp://u:p@127.0.0.1:2222/www" } });
        // 0 sftp 2222, 1 ftps 990, 2 and 3 ftp.example.com:21.

        // Edits: other credentials, another port (as typed, digit by digit), another
        // scheme, another host and back. Nothing is forgotten.
        bridge.regUpdateFtp(0, "sftp://v:w@127.0.0.1:2222/other");
        bridge.regUpdateFtp(0, "sftp://v:w@127.0.0.1:2/other");
        bridge.regUpdateFtp(0, "sftp://v:w@127.0.0.1:22/other");
        bridge.regUpdateFtp(0, "sftp://v:w@127.0.0.1:2223/other");
        QVERIFY(has(ServerIdentity::knownHostsPath(), "[127.0.0.1]:2222"));
        QVERIFY(has(ServerIdentity::knownHostsPath(), "[127.0.0.1]:2223"));
        bridge.regUpdateFtp(1, "ftp://u:p@127.0.0.1:990/a");
        bridge.regUpdateFtp(1, "ftps://u:p@localhost:990/a");
        QVERIFY(has(ServerIdentity::pinsPath(), "[127.0.0.1]:990"));
        bridge.regUpdateFtp(1, "ftps://u:p@127.0.0.1:990/a");

        // Removes: the identity goes with the last site that names its server.
        bridge.regUpdateFtp(2, QString());
        QVERIFY(has(ServerIdentity::pinsPath(), "[ftp.example.com]:21"));
        bridge.regUpdateFtp(2, QString());
        QVERIFY(!has(ServerIdentity::pinsPath(), "[ftp.example.com]:21"));
        QVERIFY(has(ServerIdentity::pinsPath(), "[127.0.0.1]:990"));
        bridge.regUpdateFtp(1, QString());
        QVERIFY(!has(ServerIdentity::pinsPath(), "[127.0.0.1]:990"));
        // The site now names 2223; 2222, edited away from, is not named by a removal.
        bridge.regUpdateFtp(0, QString());
        QVERIFY(!has(ServerIdentity::knownHostsPath(), "[127.0.0.1]:2223"));
        QVERIFY(has(ServerIdentity::knownHostsPath(), "[127.0.0.1]:2222"));
        QCOMPARE(mode(ServerIdentity::pinsPath()), 0600);
        QVERIFY(bridge.regExportData().value("ftpData").toMap().value("location").toList().isEmpty());
    }

    // The site manager's button: any form of a location names the server.
    void forgetFromLocation_data()
    {
        QTest::addColumn<QString>("location");
        QTest::addColumn<QByteArray>("entry");
        QTest::addColumn<bool>("result");
        QTest::newRow("plain") << "ftps://me:pw@Host.Example:990/www" << QByteArray("[host.example]:990") << true;
        QTest::newRow("delimiters in password") << "ftps://me:p@ss/w@host.example:21/x@y" << QByteArray("[host.example]:21")
                                                << true;
        QTest::newRow("stored credentials") << "ftps://" + TestServer::stored("me") + ":" + TestServer::stored("pw")
                        + "@host.example:2121" << QByteArray("[host.example]:2121") << true;
        QTest::newRow("no credentials") << "sftp://host.example:22/site" << QByteArray("host.example") << true;
        QTest::newRow("no host") << "nonsense" << QByteArray() << false;
    }
    void forgetFromLocation()
    {
        QFETCH(QString, location);
        QFETCH(QByteArray, entry);
        QFETCH(bool, result);
        const bool ssh = location.startsWith("sftp:");
        const QString path = ssh ? ServerIdentity::knownHostsPath() : ServerIdentity::pinsPath();
        const QByteArray kept = ssh ? "[keep.example]:21 ssh-ed25519 KEEP\n" : "[keep.example]:21 sha256//KEEP\n";
        QVERIFY(writeFile(path, kept + entry + (ssh ? " ssh-ed25519 AAAA\n" : " sha256//CCCC\n")));
        Bridge bridge;
        QCOMPARE(bridge.forgetFtpIdentity(location), result);
        if (result)
            QCOMPARE(readFile(path), kept);
    }

    // The page reaches the slot through the host script.
    void pageCanForget()
    {
        QVERIFY(WebFixture::registerTestBundle());
        QVERIFY(writeFile(ServerIdentity::pinsPath(), "[127.0.0.1]:990 sha256//AAAA\n"));
        MainWindow window(false);
        window.show();
        QVERIFY(WebFixture::waitForPage(window));
        QCOMPARE(WebFixture::eval(window, "Bridge.ftpIdentityFingerprint('ftps://a:b@127.0.0.1:990/www')").toString(),
                 QStringLiteral("sha256//AAAA"));
        QCOMPARE(WebFixture::eval(window, "Bridge.ftpIdentityFingerprint('ftps://a:b@127.0.0.1:21/www')").toString(),
                 QString());
        QCOMPARE(WebFixture::eval(window, "Bridge.forgetFtpIdentity('ftps://a:b@127.0.0.1:990/www')").toBool(), true);
        QCOMPARE(WebFixture::eval(window, "Bridge.ftpIdentityFingerprint('ftps://a:b@127.0.0.1:990/www')").toString(),
                 QString());
        QCOMPARE(readFile(ServerIdentity::pinsPath()), QByteArray());
    }
};

QUILLARY_TEST_MAIN(TestServerIdentity)
#include "tst_serveridentity.moc"
