#include "testmain.h"

#include <QBuffer>
#include <QFile>

#include "CURLFtp.h"
#include "testbytes.h"
#include "testservers.h"

// What the client hands the library per read call, and how much it accepts
// from a download.
class TestCurlFtpSizes : public QObject
{
    Q_OBJECT

    TestServerPool pool;

    static void addKinds()
    {
        TestServer::addKindRows({ TestServer::PyFtp, TestServer::VsftpdExplicit, TestServer::Sftp });
    }

private slots:
    // Without a piece limit (SFTP) the reader fills all the room it is offered.
    void readerFillsTheRoomWithoutPieceLimit()
    {
        QByteArray data = TestBytes::pattern(5 << 20);
        CURLFtp::Upload upload;
        upload.data = &data;
        upload.piece = std::numeric_limits<size_t>::max();
        QByteArray room(2 << 20, 0), sent;
        QList<size_t> pieces;
        for (size_t n = 1; n > 0;) {
            n = CURLFtp::reader_(room.data(), 1, size_t(room.size()), &upload);
            pieces << n;
            sent += room.left(int(n));
        }
        QCOMPARE(pieces, (QList<size_t>{ 2 << 20, 2 << 20, 1 << 20, 0 }));
        QCOMPARE(sent, TestBytes::pattern(5 << 20));
    }

    // Uploads arrive whole whichever way they are handed over: the big SFTP
    // buffer, FTP's pieces; several files on one connection.
    void uploadsArriveWhole_data() { addKinds(); }
    void uploadsArriveWhole()
    {
        CURLFtp ftp;
        TestServer *s = pool.loggedIn(ftp);
        if (!s)
            return;
        for (int size : { 0, 1, 8097, 2 << 20, (2 << 20) + 1, 9 << 20 }) {
            QByteArray data = TestBytes::pattern(size);
            const QString name = QString("/sizes/%1.bin").arg(size);
            if (size == 0)
                QVERIFY(ftp.mkdir("/sizes"));
            QVERIFY2(ftp.put(data, name), qPrintable(ftp.errorString()));
            QCOMPARE(TestBytes::readFile(s->rootFolder() + name), TestBytes::pattern(size));
        }
    }

    // A download longer than the client accepts fails as too large, with no
    // more than the limit in the device; one within the limit arrives whole.
    void downloadsStopAtTheLimit_data() { addKinds(); }
    void downloadsStopAtTheLimit()
    {
        CURLFtp ftp;
        TestServer *s = pool.loggedIn(ftp);
        if (!s)
            return;
        {
            TestEnv::RootScope root;
            QFile file(s->rootFolder() + "/limit.bin");
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(TestBytes::pattern(300000));
        }
        QCOMPARE(ftp.maxDownloadSize(), qint64(512) << 20);
        ftp.setMaxDownloadSize(100000);
        QBuffer cut;
        QVERIFY(cut.open(QIODevice::WriteOnly));
        QVERIFY(!ftp.get("/limit.bin", &cut));
        QCOMPARE(int(ftp.code()), int(CURLE_FILESIZE_EXCEEDED));
        QVERIFY(cut.size() <= 100000);

        ftp.setMaxDownloadSize(300000);
        QBuffer whole;
        QVERIFY(whole.open(QIODevice::WriteOnly));
        QVERIFY2(ftp.get("/limit.bin", &whole), qPrintable(ftp.errorString()));
        QCOMPARE(whole.data(), TestBytes::pattern(300000));
    }
};

QUILLARY_TEST_MAIN(TestCurlFtpSizes)
#include "tst_curlftp_sizes.moc"
