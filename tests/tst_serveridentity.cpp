#include "testmain.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

#include <sys/stat.h>

#include "CURLFtp.h"
#include "bridge.h"
#include "mainwindow.h"
#include "publishtestutil.h"
#include "serveridentity.h"
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

} // namespace

// Servers' identities learnt at first use and held against them later: SSH
// host keys (sshd) and TLS certificates (vsftpd, explicit FTPS).
class TestServerIdentity : public QObject
{
    Q_OBJECT

    QTemporaryDir keys;

    QString key(const QString &name) const { return keys.path() + QLatin1Char('/') + name; }

    // The pin of a PEM file's key: the SHA-256 of its public key's DER form.
    static QByteArray pinOf(const QString &pem)
    {
        const QByteArray hash = shell(QStringLiteral("openssl pkey -in '%1' -pubout -outform DER"
                                                     " | openssl dgst -sha256 -binary | base64 -w0")
                                          .arg(pem));
        return "sha256//" + hash.trimmed();
    }
    // What the program remembers of the server, from its own files.
    static QByteArray remembered(TestServer::Kind kind, int port)
    {
        const bool ssh = kind == TestServer::Sftp;
        const QByteArray name = "[127.0.0.1]:" + QByteArray::number(port) + ' ';
        for (const QByteArray &line : readFile(ssh ? ServerIdentity::knownHostsPath() : ServerIdentity::pinsPath()).split('\n'))
            if (line.startsWith(name))
                return line.mid(name.size());
        return QByteArray();
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

private slots:
    void initTestCase()
    {
        QVERIFY(keys.isValid());
        // Two self-signed certificates and two SSH host keys, each pair with
        // different keys; a throw-away authority and certificates it signed.
        const QString selfSigned = QStringLiteral("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1"
                                                  " -keyout '%1' -out '%1' 2>/dev/null");
        QVERIFY(!shell(selfSigned.arg(key("selfA.pem"))).isNull());
        QVERIFY(!shell(selfSigned.arg(key("selfB.pem"))).isNull());
        QVERIFY(!shell(QStringLiteral("ssh-keygen -q -t ed25519 -N '' -f '%1'").arg(key("sshA"))).isNull());
        QVERIFY(!shell(QStringLiteral("ssh-keygen -q -t ed25519 -N '' -f '%1'").arg(key("sshB"))).isNull());
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
        qunsetenv("QUILLARY_CA_FILE");
    }
    void cleanup() { qunsetenv("QUILLARY_CA_FILE"); }

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
        const QString store = kind == TestServer::Sftp ? ServerIdentity::knownHostsPath() : ServerIdentity::pinsPath();
        TestServer server(kind);
        server.setIdentity(key(first));
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QString error;

        // A log-in refused for its password teaches nothing.
        {
            CURLFtp ftp;
            QVERIFY(!ftp.connectToUrl(server.storedUrl("/", server.user(), "wrong")));
            QVERIFY(remembered(kind, server.port()).isEmpty());
        }

        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        const QByteArray firstIdentity = remembered(kind, server.port());
        QVERIFY(!firstIdentity.isEmpty());
        if (kind == TestServer::Sftp)
            QVERIFY2(firstIdentity.startsWith("ssh-ed25519 ")
                         && readFile(key(first) + ".pub").contains(firstIdentity.mid(12).trimmed()),
                     firstIdentity.constData());
        else
            QCOMPARE(firstIdentity, pinOf(key(first)));
        QCOMPARE(mode(store), 0600);

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
        }
        // The text reaches the page of a publish run, and the test of a site.
        // The run connects once: a refused identity is not tried again.
        QTRY_VERIFY_WITH_TIMEOUT(connections(server) > connected, 5000);
        const int beforeRun = connections(server);
        Bridge bridge;
        QSignalSpy page(&bridge, &Bridge::jsChanged);
        QVERIFY(bridge.initFileManager(server.url("/site").toString()));
        bridge.uploadData("a.html", QString("a"));
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmError(").isEmpty(), 60000);
        QVERIFY2(calls(page, "Bridge._fmError(").first().contains(changedText(server)),
                 qPrintable(calls(page, "Bridge._fmError(").first()));
        bridge.exitPublish();
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmClose(").isEmpty(), 60000);
        QTRY_VERIFY_WITH_TIMEOUT(connections(server) > beforeRun, 5000);
        QTest::qWait(300);
        QCOMPARE(connections(server) - beforeRun, 1);
        QVERIFY(!bridge.testFtpLocation(server.url("/site").toString()));
        // The server saw the connections, but not one log-in attempt.
        QTRY_VERIFY_WITH_TIMEOUT(connections(server) > connected, 5000);
        QCOMPARE(server.authAttempts(), attempts);
        QCOMPARE(server.logins(), logins);
        QCOMPARE(remembered(kind, server.port()), firstIdentity);
        QVERIFY(!QFile::exists(server.rootFolder() + "/site/a.html"));

        // Forgotten on request (the location as the site manager holds it,
        // plain credentials): the new key is learnt at the next log-in.
        QVERIFY(bridge.forgetFtpIdentity(server.url("/site").toString()));
        QVERIFY(remembered(kind, server.port()).isEmpty());
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QVERIFY(!remembered(kind, server.port()).isEmpty());
        QVERIFY(remembered(kind, server.port()) != firstIdentity);
        QVERIFY(server.authAttempts() > attempts);
    }

    // Certificates a trusted authority signed for this host pass without a
    // pin, renewed ones too; one it signed for another name does not vouch
    // for this host and is pinned like a self-signed one.
    void authorityVouchedCertificates()
    {
        qputenv("QUILLARY_CA_FILE", QFile::encodeName(key("ca.pem")));
        TestServer server(TestServer::VsftpdExplicit);
        server.setIdentity(key("caSigned1.pem"));
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QString error;
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QVERIFY(remembered(TestServer::VsftpdExplicit, server.port()).isEmpty());

        QVERIFY2(restart(server, key("caSigned2.pem")), qPrintable(server.errorString()));
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QVERIFY(remembered(TestServer::VsftpdExplicit, server.port()).isEmpty());

        QVERIFY2(restart(server, key("caOtherName.pem")), qPrintable(server.errorString()));
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
        QCOMPARE(remembered(TestServer::VsftpdExplicit, server.port()), pinOf(key("caOtherName.pem")));

        QVERIFY2(restart(server, key("selfA.pem")), qPrintable(server.errorString()));
        QVERIFY(!logInAndTransfer(server, &error));
        QVERIFY2(error.startsWith(changedText(server)), qPrintable(error));

        // Without the authority the signed certificate is one more unknown key.
        qunsetenv("QUILLARY_CA_FILE");
        QVERIFY2(restart(server, key("caSigned1.pem")), qPrintable(server.errorString()));
        QVERIFY(!logInAndTransfer(server, &error));
        QVERIFY2(error.startsWith(changedText(server)), qPrintable(error));
        // With it, the server is vouched for whatever was pinned before.
        qputenv("QUILLARY_CA_FILE", QFile::encodeName(key("ca.pem")));
        QVERIFY2(logInAndTransfer(server, &error), qPrintable(error));
    }

    // A site that is removed takes its server's identity with it, unless another
    // site still names the server. An edit keeps every identity: the page stores
    // each change of a field, and a host or port typed anew passes through others.
    void siteChangesForgetIdentity()
    {
        auto write = [](const QString &path, const QByteArray &text) {
            QDir().mkpath(QFileInfo(path).absolutePath());
            QFile f(path);
            return f.open(QIODevice::WriteOnly) && f.write(text) == text.size();
        };
        const QByteArray sshKey = "ssh-ed25519 AAAAC3NzaC1lZDI1NTE5AAAAIHG7KvS4b2mB0lB1y1Lp1mXpQ0d4E2x8pYqX6cTuvBr1";
        QVERIFY(write(ServerIdentity::knownHostsPath(), "[127.0.0.1]:2222 " + sshKey + "\n[127.0.0.1]:2223 " + sshKey + "\n"));
        QVERIFY(write(ServerIdentity::pinsPath(), "[127.0.0.1]:990 sha256//AAAA\n[ftp.example.com]:21 sha256//BBBB\n"));
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
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[keep.example]:21 keep\n" + entry + (ssh ? " ssh-ed25519 AAAA\n" : " sha256//CCCC\n"));
        f.close();
        Bridge bridge;
        QCOMPARE(bridge.forgetFtpIdentity(location), result);
        if (result)
            QCOMPARE(readFile(path), QByteArray("[keep.example]:21 keep\n"));
    }

    // The page reaches the slot through the host script.
    void pageCanForget()
    {
        QVERIFY(WebFixture::registerTestBundle());
        QDir().mkpath(QFileInfo(ServerIdentity::pinsPath()).absolutePath());
        QFile f(ServerIdentity::pinsPath());
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("[127.0.0.1]:990 sha256//AAAA\n");
        f.close();
        MainWindow window(false);
        window.show();
        QVERIFY(WebFixture::waitForPage(window));
        QCOMPARE(WebFixture::eval(window, "Bridge.forgetFtpIdentity('ftps://a:b@127.0.0.1:990/www')").toBool(), true);
        QCOMPARE(readFile(ServerIdentity::pinsPath()), QByteArray());
    }
};

QUILLARY_TEST_MAIN(TestServerIdentity)
#include "tst_serveridentity.moc"
