#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QTcpServer>

#include "bridge.h"
#include "testservers.h"

// Reading a project file back from an FTP destination, as the projects side
// does when a site is opened from its server.
class TestProjectFileFtp : public QObject
{
    Q_OBJECT

    TestServer server { TestServer::PyFtp };
    TestServer sftp { TestServer::Sftp };

    // The server's folder belongs to root (the server), not to the test user.
    bool put(const QString &relative, const QByteArray &bytes)
    {
        TestEnv::RootScope root;
        const QString path = server.rootFolder() + "/" + relative;
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile f(path);
        return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
    }

private slots:
    void initTestCase()
    {
        QVERIFY2(server.start(), qPrintable(server.errorString()));
        QVERIFY(put("both/project.json", "{ \"old\" : true }"));
        QVERIFY(put("both/project.quillary", "{ \"new\" : true }"));
        QVERIFY(put("new/project.quillary", QString::fromUtf8("{ \"name\" : \"Café\" }").toUtf8()));
        QVERIFY(put("empty/project.json", ""));
        QVERIFY(put("empty/project.quillary", "{ \"was\" : \"empty\" }"));
        QVERIFY(put("twice/quillary.quillary", "{ \"twice\" : 1 }"));
        QVERIFY(put("other/project.json.bak", ""));
        QVERIFY(put("other/project.quillary.bak", "never read"));
    }

    void projectFile_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("expected");
        QTest::newRow("json present") << "/both/project.json" << "{ \"old\" : true }";
        QTest::newRow("falls back to quillary") << "/new/project.json" << QString::fromUtf8("{ \"name\" : \"Café\" }");
        QTest::newRow("empty json falls back") << "/empty/project.json" << "{ \"was\" : \"empty\" }";
        QTest::newRow("every json replaced") << "/twice/json.json" << "{ \"twice\" : 1 }";
        QTest::newRow("quillary asked directly") << "/both/project.quillary" << "{ \"new\" : true }";
        QTest::newRow("missing") << "/none/project.json" << "";
        QTest::newRow("json not the extension") << "/other/project.json.bak" << "";
    }
    void projectFile()
    {
        QFETCH(QString, path);
        QFETCH(QString, expected);
        Bridge bridge;
        bridge.setError("left from before");
        QCOMPARE(bridge.getProjectFile(server.url(path).toString()), expected);
        // The server was asked and answered: no reason to give, found or not.
        QCOMPARE(bridge.property("error").toString(), QString());
    }

    // Empty text either way, but only "could not ask" carries a reason: the
    // page asks before publishing over what it could not see.
    void couldNotAskIsNotNothingThere_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("password");
        QTest::addColumn<QString>("reason");
        QTest::newRow("ftp, no such file") << int(TestServer::PyFtp) << "/other/project.json" << "" << "";
        QTest::newRow("ftp, no such folder") << int(TestServer::PyFtp) << "/none/project.json" << "" << "";
        QTest::newRow("sftp, no such file") << int(TestServer::Sftp) << "/other/project.json" << "" << "";
        QTest::newRow("sftp, no such folder") << int(TestServer::Sftp) << "/none/project.json" << "" << "";
        QTest::newRow("ftp, password refused") << int(TestServer::PyFtp) << "/both/project.json" << "wrong"
                                               << "refused the user name or password";
        QTest::newRow("sftp, password refused") << int(TestServer::Sftp) << "/both/project.json" << "wrong"
                                                << "refused the user name or password";
        QTest::newRow("nothing listens") << -1 << "/both/project.json" << "" << "No answer from 127.0.0.1:";
    }
    void couldNotAskIsNotNothingThere()
    {
        QFETCH(int, kind);
        QFETCH(QString, path);
        QFETCH(QString, password);
        QFETCH(QString, reason);
        QUrl url;
        if (kind == int(TestServer::PyFtp)) {
            url = server.url(path);
        } else if (kind == int(TestServer::Sftp)) {
            if (!sftp.pid()) {
                QVERIFY2(sftp.start(), qPrintable(sftp.errorString()));
                TestEnv::RootScope root;
                QVERIFY(QDir().mkpath(sftp.rootFolder() + "/other"));
            }
            url = sftp.url(path);
        } else {
            url = server.url(path);
            // A port that was free a moment ago: the connection is refused.
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            url.setPort(probe.serverPort());
            probe.close();
        }
        if (!password.isEmpty())
            url.setPassword(password);
        Bridge bridge;
        bridge.setError("left from before");
        QCOMPARE(bridge.getProjectFile(url.toString()), QString());
        const QString said = bridge.property("error").toString();
        if (reason.isEmpty())
            QCOMPARE(said, QString());
        else
            QVERIFY2(said.contains(reason), qPrintable(said));
    }
};

QUILLARY_TEST_MAIN(TestProjectFileFtp)
#include "tst_projectfile_ftp.moc"
