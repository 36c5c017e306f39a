#include "testmain.h"

#include <QDir>
#include <QFile>

#include "bridge.h"
#include "testservers.h"

// Reading a project file back from an FTP destination, as the projects side
// does when a site is opened from its server.
class TestProjectFileFtp : public QObject
{
    Q_OBJECT

    TestServer server { TestServer::PyFtp };

    bool put(const QString &relative, const QByteArray &bytes)
    {
        // The server's folder is the server's (root's): writing into it is a
        // fixture only root can make.
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
        QCOMPARE(bridge.getProjectFile(server.url(path).toString()), expected);
    }

    void wrongPasswordGivesEmptyText()
    {
        QUrl url = server.url("/both/project.json");
        url.setPassword("wrong");
        Bridge bridge;
        QCOMPARE(bridge.getProjectFile(url.toString()), QString());
    }
};

QUILLARY_TEST_MAIN(TestProjectFileFtp)
#include "tst_projectfile_ftp.moc"
