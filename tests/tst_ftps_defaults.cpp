#include "testmain.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

#include "bridge.h"
#include "publishtestutil.h"
#include "testbytes.h"
#include "testservers.h"

using namespace PublishTest;

// Publishing over FTPS to vsftpd as a host enables TLS, everything else at
// its defaults: each data connection must resume the control connection's
// TLS session, or the server refuses it.
class TestFtpsDefaults : public QObject
{
    Q_OBJECT

    QTemporaryDir sources;
    // In a fixed order, so that no file read back is the empty one: reading back
    // an empty file is an error.
    QMap<QString, QByteArray> site;

private slots:
    void initTestCase()
    {
        QVERIFY(sources.isValid());
        // Enough files that uploads follow uploads, folders and downloads
        // many times over, and one large enough to take many TLS records.
        for (int i = 0; i < 60; ++i)
            site.insert(QStringLiteral("p%1/page%2.html").arg(i % 6).arg(i), TestBytes::pattern(100 + i * 97));
        site.insert(QStringLiteral("assets/big.bin"), TestBytes::pattern(3 * 1024 * 1024 + 5));
        site.insert(QStringLiteral("assets/empty.txt"), QByteArray());
        for (auto it = site.cbegin(); it != site.cend(); ++it)
            QVERIFY(writeFile(sources.path() + "/" + it.key(), it.value()));
    }

    // One log-in for the whole run, no data connection refused, every byte
    // where it belongs: uploads, and downloads between them.
    void oneLoginNoRefusedData_data()
    {
        QTest::addColumn<TestServer::Kind>("kind");
        QTest::newRow("vsftpd explicit") << TestServer::VsftpdExplicit;
        QTest::newRow("vsftpd implicit") << TestServer::VsftpdImplicit;
    }
    void oneLoginNoRefusedData()
    {
        QFETCH(TestServer::Kind, kind);
        TestServer server(kind);
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        Bridge bridge;
        QSignalSpy page(&bridge, &Bridge::jsChanged);
        QVERIFY(bridge.initFileManager(server.url("/site").toString()));
        int n = 0;
        for (auto it = site.cbegin(); it != site.cend(); ++it) {
            bridge.uploadFile(it.key(), QUrl::fromLocalFile(sources.path() + "/" + it.key()).toString());
            // A download now and then: the upload after it needs a fresh
            // data connection that resumes the session as well.
            if (++n % 20 == 0)
                bridge.downloadFile(it.key());
        }
        bridge.uploadData(QStringLiteral("generated.html"), QStringLiteral("<p>made</p>"));
        bridge.downloadFile(QStringLiteral("assets/big.bin"));
        bridge.closeFileManager();
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmClose(").isEmpty() || !calls(page, "Bridge._fmError(").isEmpty(),
                                 120000);
        QVERIFY2(calls(page, "Bridge._fmError(").isEmpty(), qPrintable(calls(page, "Bridge._fmError(").join("\n")));
        QTRY_VERIFY_WITH_TIMEOUT(!calls(page, "Bridge._fmClose(").isEmpty(), 60000);
        for (auto it = site.cbegin(); it != site.cend(); ++it)
            QVERIFY2(readAll(server.rootFolder() + "/site/" + it.key()) == it.value(), qPrintable(it.key()));
        QCOMPARE(readAll(server.rootFolder() + "/site/generated.html"), QByteArray("<p>made</p>"));
        const QStringList ready = calls(page, "Bridge._fmFileReady(");
        QCOMPARE(ready.size(), n / 20 + 1);
        QCOMPARE(ready.last(), "Bridge._fmFileReady(\"" + site.value("assets/big.bin").toBase64() + "\")");
        QVERIFY2(server.refusedDataConnections() == 0, qPrintable(server.refusedReplies()));
        QVERIFY2(!server.protocolLog().contains("FAIL UPLOAD") && !server.protocolLog().contains("FAIL DOWNLOAD"),
                 "a transfer failed and was sent again");
        QCOMPARE(server.logins(), 1);
    }
};

QUILLARY_TEST_MAIN(TestFtpsDefaults)
#include "tst_ftps_defaults.moc"
