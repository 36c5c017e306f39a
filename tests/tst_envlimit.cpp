#include "testmain.h"

#include "downloadjob.h"
#include "envlimit.h"
#include "ftpcall.h"

// The environment may shorten the program's deadlines and lower its caps
// (tests do), but never lengthen or lift them.
class TestEnvLimit : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        for (const char *name : { "QUILLARY_TEST_LIMIT", "QUILLARY_FTP_DEADLINE_MS", "QUILLARY_DOWNLOAD_MAX_BYTES",
                                  "QUILLARY_DOWNLOAD_DEADLINE_MS", "QUILLARY_DOWNLOAD_TIMEOUT_MS" })
            qunsetenv(name);
    }

    void onlyShortens_data()
    {
        QTest::addColumn<bool>("set");
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<qint64>("expected");
        QTest::newRow("unset") << false << QByteArray() << qint64(600);
        QTest::newRow("empty") << true << QByteArray() << qint64(600);
        QTest::newRow("shorter") << true << QByteArray("25") << qint64(25);
        QTest::newRow("spaces around") << true << QByteArray(" 25 ") << qint64(25);
        QTest::newRow("the default") << true << QByteArray("600") << qint64(600);
        QTest::newRow("longer") << true << QByteArray("601") << qint64(600);
        QTest::newRow("far longer") << true << QByteArray("9223372036854775807") << qint64(600);
        QTest::newRow("past 64 bits") << true << QByteArray("99999999999999999999") << qint64(600);
        QTest::newRow("zero") << true << QByteArray("0") << qint64(600);
        QTest::newRow("negative") << true << QByteArray("-5") << qint64(600);
        QTest::newRow("not a number") << true << QByteArray("soon") << qint64(600);
        QTest::newRow("a fraction") << true << QByteArray("2.5") << qint64(600);
    }
    void onlyShortens()
    {
        QFETCH(bool, set);
        QFETCH(QByteArray, value);
        QFETCH(qint64, expected);
        if (set)
            qputenv("QUILLARY_TEST_LIMIT", value);
        QCOMPARE(envLimit("QUILLARY_TEST_LIMIT", 600), expected);
    }

    // The limits that read the environment, each held at its default when
    // asked for more.
    void programLimits()
    {
        qputenv("QUILLARY_FTP_DEADLINE_MS", "600000");
        qputenv("QUILLARY_DOWNLOAD_MAX_BYTES", QByteArray::number(qint64(8) << 30));
        qputenv("QUILLARY_DOWNLOAD_DEADLINE_MS", "86400000");
        qputenv("QUILLARY_DOWNLOAD_TIMEOUT_MS", "3600000");
        QCOMPARE(FtpCall::deadline(), 60000);
        QCOMPARE(DownloadJob::maxBytes(), qint64(512) << 20);
        QCOMPARE(DownloadJob::deadlineMs(), 15 * 60 * 1000);
        QCOMPARE(DownloadJob::stallTimeoutMs(), 60000);

        qputenv("QUILLARY_FTP_DEADLINE_MS", "1500");
        qputenv("QUILLARY_DOWNLOAD_MAX_BYTES", "4096");
        qputenv("QUILLARY_DOWNLOAD_DEADLINE_MS", "2000");
        qputenv("QUILLARY_DOWNLOAD_TIMEOUT_MS", "1000");
        QCOMPARE(FtpCall::deadline(), 1500);
        QCOMPARE(DownloadJob::maxBytes(), qint64(4096));
        QCOMPARE(DownloadJob::deadlineMs(), 2000);
        QCOMPARE(DownloadJob::stallTimeoutMs(), 1000);
    }
};

QUILLARY_TEST_MAIN(TestEnvLimit)
#include "tst_envlimit.moc"
