#include "testmain.h"

#include <QProcess>
#include <QTemporaryDir>

#include "testservers.h"

// A program that ends right at a run's last callback: nothing of the run may
// outlive the application (its worker used to reach for the application
// object after it was gone, and crashed after every file had arrived).
class TestQuitAfterRun : public QObject
{
    Q_OBJECT

    TestServerPool servers;
    const QString driver = QStringLiteral(QUILLARY_BINARY_DIR "/tests/quitafterrun");

private slots:
    void initTestCase()
    {
        QVERIFY(QFileInfo(driver).isExecutable());
    }

    void quitAtTheLastCallback_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("local folder") << -1;
        QTest::newRow("ftp") << int(TestServer::PyFtp);
        QTest::newRow("sftp") << int(TestServer::Sftp);
    }
    void quitAtTheLastCallback()
    {
        QFETCH(int, kind);
        const int files = 5;
        TestServer *server = nullptr;
        QTemporaryDir local;
        QVERIFY(local.isValid());
        if (kind >= 0) {
            QString error;
            server = servers.get(TestServer::Kind(kind), &error);
            QVERIFY2(server, qPrintable(error));
        }
        // A few runs: the end of one races with the program's exit.
        for (int attempt = 0; attempt < 4; ++attempt) {
            const QString folder = QStringLiteral("quit-%1").arg(attempt);
            const QString url = server ? server->url(QLatin1Char('/') + folder).toString()
                                       : QUrl::fromLocalFile(local.filePath(folder)).toString();
            QTemporaryDir scratch;
            QVERIFY(scratch.isValid());
            QProcess process;
            process.start(driver, { url, scratch.path(), QString::number(files) });
            QVERIFY(process.waitForStarted(5000));
            QVERIFY2(process.waitForFinished(60000), "the program did not end");
            const QString out = QString::fromUtf8(process.readAllStandardOutput());
            const QString err = QString::fromUtf8(process.readAllStandardError());
            QVERIFY2(process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0,
                     qPrintable(QStringLiteral("attempt %1 ended with %2/%3:\n%4").arg(attempt)
                                .arg(process.exitStatus()).arg(process.exitCode()).arg(err.right(4000))));
            QVERIFY2(!err.contains(QLatin1String("AddressSanitizer")) && !err.contains(QLatin1String("runtime error"))
                     && !err.contains(QLatin1String("LeakSanitizer")), qPrintable(err.right(4000)));
            QVERIFY2(out.startsWith(QLatin1String("finished ")) && out.trimmed() != QLatin1String("finished"),
                     qPrintable(out));
            const QString arrived = server ? server->rootFolder() + QLatin1Char('/') + folder : local.filePath(folder);
            // A server's files are its own (root's).
            TestEnv::RootScope root;
            for (int i = 0; i < files; ++i) {
                QFile page(arrived + QStringLiteral("/pages/page-%1.html").arg(i));
                QVERIFY2(page.open(QIODevice::ReadOnly), qPrintable(page.fileName()));
                QCOMPARE(page.readAll(), QByteArray("<p>page ") + QByteArray::number(i) + "</p>\n");
            }
        }
    }
};

QUILLARY_TEST_MAIN(TestQuitAfterRun)
#include "tst_quitafterrun.moc"
