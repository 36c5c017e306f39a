#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

#include <memory>

#include <csignal>

#include "bridge.h"
#include "publishtestutil.h"
#include "testservers.h"

using namespace PublishTest;

namespace {

const int localKind = -1;

QByteArray randomBytes(int size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char(QRandomGenerator::global()->bounded(256));
    return bytes;
}

} // namespace

// Publishing through Bridge to real servers on 127.0.0.1 and to a local folder.
class TestPublishServers : public QObject
{
    Q_OBJECT

    QTemporaryDir sources;
    QHash<QString, QByteArray> site; // destination path -> bytes

    // A destination: a started server, or a local folder.
    struct Destination
    {
        std::unique_ptr<TestServer> server;
        QTemporaryDir local;
        QString url(const QString &path) const
        {
            return server ? server->url(path).toString() : QUrl::fromLocalFile(local.path() + path).toString();
        }
        QString folder(const QString &path) const
        {
            return (server ? server->rootFolder() : local.path()) + path;
        }
    };

    static bool open(Destination &d, int kind, QString *error)
    {
        if (kind == localKind)
            return d.local.isValid();
        d.server.reset(new TestServer(TestServer::Kind(kind)));
        const bool ok = d.server->start();
        *error = d.server->errorString();
        return ok;
    }

    static void addKinds(bool withLocal)
    {
        QTest::addColumn<int>("kind");
        for (TestServer::Kind kind : TestServer::allKinds())
            QTest::newRow(qPrintable(TestServer::kindName(kind))) << int(kind);
        if (withLocal)
            QTest::newRow("local") << localKind;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sources.isValid());
        site.insert("index.html", "<html><body>home</body></html>");
        site.insert("about/index.html", QString::fromUtf8("<p>Über uns</p>").toUtf8());
        site.insert("css/site.css", "body { margin: 0 }");
        site.insert("assets/img/logo.png", randomBytes(20000));
        site.insert("assets/img/big.bin", randomBytes(3 * 1024 * 1024 + 17));
        site.insert("assets/empty.txt", QByteArray());
        for (auto it = site.cbegin(); it != site.cend(); ++it)
            QVERIFY(writeFile(sources.path() + "/" + it.key(), it.value()));
    }

    void siteIsByteIdentical_data() { addKinds(true); }
    void siteIsByteIdentical()
    {
        QFETCH(int, kind);
        Destination d;
        QString error;
        QVERIFY2(open(d, kind, &error), qPrintable(error));
        Bridge bridge;
        QSignalSpy page(&bridge, &Bridge::jsChanged);
        QVERIFY(bridge.initFileManager(d.url("/site")));
        // The top-level page first: its folder task is empty, yet a new destination folder must be made.
        QStringList order = site.keys();
        order.removeOne("index.html");
        order.prepend("index.html");
        for (const QString &path : order)
            bridge.uploadFile(path, QUrl::fromLocalFile(sources.path() + "/" + path).toString());
        bridge.uploadData("generated/page.html", QString::fromUtf8("<h1>Grüße</h1>"));
        bridge.initTempFile();
        bridge.tmpAppendData(QString("a;"));
        bridge.tmpAppendFile(sources.path() + "/css/site.css");
        bridge.uploadTempFile("css/all.css");
        bridge.closeTempFile();
        bridge.downloadFile("about/index.html");
        bridge.closeFileManager();
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmClose(").isEmpty(), 120000);
        QCOMPARE(calls(page, "Bridge._fmFileReady("),
                 QStringList("Bridge._fmFileReady(\"" + site.value("about/index.html").toBase64() + "\")"));
        QVERIFY2(calls(page, "Bridge._fmError(").isEmpty(), qPrintable(calls(page, "Bridge._fmError(").join("\n")));
        for (auto it = site.cbegin(); it != site.cend(); ++it)
            QVERIFY2(readAll(d.folder("/site/" + it.key())) == it.value(), qPrintable(it.key()));
        QCOMPARE(readAll(d.folder("/site/generated/page.html")), QString::fromUtf8("<h1>Grüße</h1>").toUtf8());
        QCOMPARE(readAll(d.folder("/site/css/all.css")), QByteArray("a;body { margin: 0 }"));
        // The generated page and the joined file count as uploaded, as the files do.
        QCOMPARE(calls(page, "Bridge._fmUploaded(").size(), site.size() + 2);
        QCOMPARE(calls(page, "Bridge._fmFile(").size(), site.size() + 2);
        const QString close = calls(page, "Bridge._fmClose(").first();
        QVERIFY2(close.startsWith("Bridge._fmClose(\"" + QUrl(d.url("/")).scheme() + ":"), qPrintable(close));
        QVERIFY2(!close.contains("quillary-test-pw"), "the plain password reached the page");
    }

    void connectionTest_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("expected");
        QTest::newRow("ftp") << int(TestServer::PyFtp) << "" << true;
        QTest::newRow("ftp wrong password") << int(TestServer::PyFtp) << "wrong" << false;
        QTest::newRow("sftp") << int(TestServer::Sftp) << "" << true;
    }
    void connectionTest()
    {
        QFETCH(int, kind);
        QFETCH(QString, password);
        QFETCH(bool, expected);
        Destination d;
        QString error;
        QVERIFY2(open(d, kind, &error), qPrintable(error));
        QUrl url = d.server->url("/site");
        if (!password.isEmpty())
            url.setPassword(password);
        Bridge bridge;
        QCOMPARE(bridge.testFtpLocation(url.toString()), expected);
    }

    // The server goes away in the middle of a run and comes back on the same port.
    void serverKilledMidRun_data() { addKinds(false); }
    void serverKilledMidRun()
    {
        QFETCH(int, kind);
        Destination d;
        QString error;
        QVERIFY2(open(d, kind, &error), qPrintable(error));
        Bridge bridge;
        QSignalSpy page(&bridge, &Bridge::jsChanged);
        QVERIFY(bridge.initFileManager(d.url("/site")));
        bridge.uploadData("one.html", QString("one"));
        // Stopped only once the first file is whole there: a file still on its way
        // would be the one that fails.
        QTRY_COMPARE_WITH_TIMEOUT(calls(page, "Bridge._fmUploaded("), QStringList("Bridge._fmUploaded(\"one.html\")"), 60000);
        QCOMPARE(readAll(d.folder("/site/one.html")), QByteArray("one"));
        QVERIFY(d.server->stop());
        bridge.uploadData("two.html", QString("two"));
        bridge.uploadData("three.html", QString("three"));
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmError(").isEmpty(), 120000);
        QCOMPARE(calls(page, "Bridge._fmError(").size(), 1);
        // Paused: nothing more happens while the server is away.
        QTest::qWait(300);
        QVERIFY(calls(page, "Bridge._fmFile('three.html')").isEmpty());
        QVERIFY2(d.server->start(), qPrintable(d.server->errorString()));
        bridge.resumePublish();
        QTRY_VERIFY_WITH_TIMEOUT(readAll(d.folder("/site/three.html")) == "three", 120000);
        QVERIFY(!QFile::exists(d.folder("/site/two.html")));   // the failed file is not sent again
        bridge.exitPublish();
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmClose(").isEmpty(), 60000);
        QCOMPARE(calls(page, "Bridge._fmClose("), QStringList("Bridge._fmClose(\"\")"));
    }

    // A cancel must not wait for a transfer that hangs: the server is frozen
    // in the middle of an upload, and the run still ends at once.
    void exitAbortsHangingTransfer()
    {
        Destination d;
        QString error;
        QVERIFY2(open(d, TestServer::PyFtp, &error), qPrintable(error));
        Bridge bridge;
        QSignalSpy page(&bridge, &Bridge::jsChanged);
        QVERIFY(bridge.initFileManager(d.url("/site")));
        const QByteArray big = randomBytes(64 << 20);
        bridge.uploadData("big1.bin", big);
        bridge.uploadData("big2.bin", big);
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmFile(").isEmpty(), 60000);
        QVERIFY(d.server->sendSignal(SIGSTOP));
        QTest::qWait(500);
        bridge.exitPublish();
        // Well inside the client's own stall time-out.
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmClose(").isEmpty(), 15000);
        d.server->sendSignal(SIGCONT);
        QCOMPARE(calls(page, "Bridge._fmClose("), QStringList("Bridge._fmClose(\"\")"));
        QVERIFY(calls(page, "Bridge._fmError(").isEmpty());
        QVERIFY(readAll(d.folder("/site/big2.bin")) != big);
    }
};

QUILLARY_TEST_MAIN(TestPublishServers)
#include "tst_publish_servers.moc"
