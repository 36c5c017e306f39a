#include "testmain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <csignal>
#include <memory>

#include "bridge.h"
#include "floodserver.h"
#include "peakmemory.h"
#include "testservers.h"

namespace {

// The deadline the code under test is given here, instead of its 60 s.
const int deadlineMs = 2000;
// What the end of a call may take beyond it: the library notices an abort
// at its next progress call, about once a second.
const int graceMs = 2500;

// A scripted FTP server of the test's own on 127.0.0.1, served by this
// thread's event loop (so it only answers while that loop runs). It logs in
// anyone and then sends every file at 4 bytes a second; in Greeting mode it
// drips its greeting the same way and never finishes a line.
class DripServer : public QObject
{
    Q_OBJECT
public:
    enum Mode { Greeting, Data };

    explicit DripServer(Mode mode) : mode(mode)
    {
        connect(&control, &QTcpServer::newConnection, this, &DripServer::onControl);
        connect(&passive, &QTcpServer::newConnection, this, &DripServer::onData);
        connect(&tick, &QTimer::timeout, this, &DripServer::drip);
        control.listen(QHostAddress::LocalHost, 0);
        passive.listen(QHostAddress::LocalHost, 0);
        tick.start(1000);
    }
    int port() const { return control.serverPort(); }
    int retrieves = 0;

private:
    void onControl()
    {
        while (QTcpSocket *socket = control.nextPendingConnection()) {
            socket->setParent(this);
            if (mode == Greeting) {
                dripping << socket;
                continue;
            }
            socket->write("220 drip server\r\n");
            connect(socket, &QTcpSocket::readyRead, this, [this, socket]() { answer(socket); });
        }
    }
    void answer(QTcpSocket *socket)
    {
        while (socket->canReadLine()) {
            const QByteArray line = socket->readLine().trimmed();
            const QByteArray command = line.split(' ').first().toUpper();
            const QByteArray dataPort = QByteArray::number(passive.serverPort());
            if (command == "USER")
                socket->write("331 password please\r\n");
            else if (command == "PASS")
                socket->write("230 logged in\r\n");
            else if (command == "PWD")
                socket->write("257 \"/\" is the current folder\r\n");
            else if (command == "CWD")
                socket->write("250 ok\r\n");
            else if (command == "TYPE")
                socket->write("200 ok\r\n");
            else if (command == "EPSV")
                socket->write("229 Entering Extended Passive Mode (|||" + dataPort + "|)\r\n");
            else if (command == "PASV")
                socket->write("227 Entering Passive Mode (127,0,0,1," + QByteArray::number(passive.serverPort() / 256)
                              + "," + QByteArray::number(passive.serverPort() % 256) + ")\r\n");
            else if (command == "RETR") {
                ++retrieves;
                socket->write("150 sending, slowly\r\n");
            } else if (command == "QUIT") {
                socket->write("221 bye\r\n");
                socket->disconnectFromHost();
            } else
                socket->write("502 not here\r\n");
        }
    }
    void onData()
    {
        while (QTcpSocket *socket = passive.nextPendingConnection()) {
            socket->setParent(this);
            dripping << socket;
        }
    }
    void drip()
    {
        for (const QPointer<QTcpSocket> &socket : qAsConst(dripping))
            if (socket && socket->state() == QAbstractSocket::ConnectedState)
                socket->write("drip");
    }

    Mode mode;
    QTcpServer control;
    QTcpServer passive;
    QTimer tick;
    QList<QPointer<QTcpSocket>> dripping;
};

// A port where something listens and accepts, then never says a word.
class MuteListener
{
public:
    MuteListener() { server.listen(QHostAddress::LocalHost, 0); }
    int port() const { return server.serverPort(); }

private:
    QTcpServer server;
};

QString withPort(const QString &scheme, int port, const QString &path, const QString &password = "pw")
{
    return QStringLiteral("%1://someone:%2@127.0.0.1:%3%4").arg(scheme, password).arg(port).arg(path);
}

// A file of that size made of holes, in a server's folder (only root may write there).
bool makeSparse(const QString &path, qint64 size)
{
    TestEnv::RootScope root;
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

} // namespace

// Remote reads and connection tests from the GUI thread: they run while the
// window's event loop keeps going, end at their deadline with a reason, and
// refuse files too large to hand to the page.
class TestRemoteFetch : public QObject
{
    Q_OBJECT

    TestServerPool servers;

    // Runs the call while a 50 ms timer counts how often the loop turned.
    template<typename Call>
    static int ticksDuring(Call call, qint64 *elapsed)
    {
        int ticks = 0;
        QTimer timer;
        QObject::connect(&timer, &QTimer::timeout, [&ticks]() { ++ticks; });
        timer.start(50);
        QElapsedTimer clock;
        clock.start();
        call();
        *elapsed = clock.elapsed();
        return ticks;
    }

private slots:
    void initTestCase()
    {
        qputenv("QUILLARY_FTP_DEADLINE_MS", QByteArray::number(deadlineMs));
    }

    // A server that accepts and never answers, one frozen mid-life, and one
    // that drips: the call ends at the deadline and the window kept turning.
    void unansweredCallsEndAtTheDeadline_data()
    {
        QTest::addColumn<QString>("server");
        QTest::addColumn<bool>("connectionTest");
        for (bool test : { false, true }) {
            const char *what = test ? "testFtpLocation" : "getProjectFile";
            QTest::newRow(qPrintable(QString("%1, mute listener").arg(what))) << "mute" << test;
            QTest::newRow(qPrintable(QString("%1, stopped ftp server").arg(what))) << "stopped-ftp" << test;
            QTest::newRow(qPrintable(QString("%1, stopped sftp server").arg(what))) << "stopped-sftp" << test;
            QTest::newRow(qPrintable(QString("%1, dripping greeting").arg(what))) << "drip-greeting" << test;
            // Talk without end keeps libssh2 from ever returning to the client.
            QTest::newRow(qPrintable(QString("%1, sftp lines without a greeting").arg(what))) << "flood-lines" << test;
            QTest::newRow(qPrintable(QString("%1, sftp packets without end").arg(what))) << "flood-packets" << test;
        }
        QTest::newRow("getProjectFile, data dripping at 4 bytes/s") << "drip-data" << false;
    }
    void unansweredCallsEndAtTheDeadline()
    {
        QFETCH(QString, server);
        QFETCH(bool, connectionTest);

        std::unique_ptr<MuteListener> mute;
        std::unique_ptr<DripServer> drip;
        std::unique_ptr<FloodServer> flood;
        TestServer *stopped = nullptr;
        QString url;
        if (server.startsWith("flood")) {
            flood.reset(new FloodServer(server == "flood-lines" ? FloodServer::Lines : FloodServer::SshPackets));
            QVERIFY(flood->isListening());
            url = withPort("sftp", flood->port(), "/site/project.json");
        } else if (server == "mute") {
            mute.reset(new MuteListener);
            url = withPort("ftp", mute->port(), "/site/project.json");
        } else if (server.startsWith("drip")) {
            drip.reset(new DripServer(server == "drip-data" ? DripServer::Data : DripServer::Greeting));
            url = withPort("ftp", drip->port(), "/site/project.json");
        } else {
            QString error;
            stopped = servers.get(server == "stopped-ftp" ? TestServer::PyFtp : TestServer::Sftp, &error);
            QVERIFY2(stopped, qPrintable(error));
            url = stopped->url("/site/project.json").toString();
            QVERIFY(stopped->sendSignal(SIGSTOP));
        }

        Bridge bridge;
        QVariant result;
        qint64 elapsed = 0;
        const int ticks = ticksDuring([&]() {
            if (connectionTest)
                result = bridge.testFtpLocation(url.left(url.lastIndexOf('/')));
            else
                result = bridge.getProjectFile(url);
        }, &elapsed);
        if (stopped)
            QVERIFY(stopped->sendSignal(SIGCONT));

        if (connectionTest)
            QCOMPARE(result.toBool(), false);
        else
            QCOMPARE(result.toString(), QString());
        QVERIFY2(elapsed >= deadlineMs - 100, qPrintable(QString("ended after %1 ms").arg(elapsed)));
        QVERIFY2(elapsed < deadlineMs + graceMs, qPrintable(QString("ended after %1 ms").arg(elapsed)));
        // A 50 ms timer over 2 s: a window that was not frozen saw most of its ticks.
        QVERIFY2(ticks >= deadlineMs / 50 / 2, qPrintable(QString("%1 ticks in %2 ms").arg(ticks).arg(elapsed)));
        const QString reason = bridge.property("error").toString();
        QVERIFY2(reason.contains("within 2 s") && reason.contains("127.0.0.1"), qPrintable(reason));
        if (server == "drip-data")
            QCOMPARE(drip->retrieves, 1);
        if (flood)
            QCOMPARE(flood->connections(), 1);
    }

    // Closing the program ends a remote call the page waits for, at once and
    // as cancelled: a call made from a page timer keeps the page's timers
    // (its save before the close among them) from running until it returns.
    void closeRequestCancelsWaitingCalls_data()
    {
        QTest::addColumn<bool>("connectionTest");
        QTest::newRow("testFtpLocation") << true;
        QTest::newRow("getProjectFile") << false;
    }
    void closeRequestCancelsWaitingCalls()
    {
        QFETCH(bool, connectionTest);
        qputenv("QUILLARY_FTP_DEADLINE_MS", "30000");
        FloodServer flood(FloodServer::Lines);
        QVERIFY(flood.isListening());
        const QString url = withPort("sftp", flood.port(), "/site/project.json");
        Bridge bridge;
        QTimer::singleShot(500, &bridge, [&bridge]() { bridge.prepareToClose(); });
        QElapsedTimer clock;
        clock.start();
        QVariant result = connectionTest ? QVariant(bridge.testFtpLocation(url.left(url.lastIndexOf('/'))))
                                         : QVariant(bridge.getProjectFile(url));
        const qint64 elapsed = clock.elapsed();
        qputenv("QUILLARY_FTP_DEADLINE_MS", QByteArray::number(deadlineMs));
        QCOMPARE(result.toString(), connectionTest ? QString("false") : QString());
        QVERIFY2(elapsed < 1500, qPrintable(QString("ended after %1 ms").arg(elapsed)));
        QCOMPARE(bridge.property("error").toString(), QString("Cancelled."));
        QCOMPARE(flood.connections(), 1);
    }

    // "Test connection" says why it failed, and its bool stays the answer.
    void connectionTestTellsWhy_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("scheme");
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("expected");
        QTest::addColumn<QString>("reason");
        const QString pw = "quillary-test-pw";
        QTest::newRow("ftp, success") << int(TestServer::PyFtp) << "" << pw << true << "";
        QTest::newRow("ftp, wrong password") << int(TestServer::PyFtp) << "" << "wrong" << false
                                             << "refused the user name or password";
        QTest::newRow("ftps, success") << int(TestServer::VsftpdExplicit) << "" << pw << true << "";
        QTest::newRow("ftps, wrong password") << int(TestServer::VsftpdExplicit) << "" << "wrong" << false
                                              << "refused the user name or password";
        QTest::newRow("sftp, success") << int(TestServer::Sftp) << "" << pw << true << "";
        QTest::newRow("sftp, wrong password") << int(TestServer::Sftp) << "" << "wrong" << false
                                              << "refused the user name or password";
        QTest::newRow("ftps asked of a server without TLS") << int(TestServer::PyFtp) << "ftps" << pw << false
                                                             << "refused TLS";
        QTest::newRow("no server on the port") << -1 << "ftp" << pw << false << "No answer from 127.0.0.1:";
    }
    void connectionTestTellsWhy()
    {
        QFETCH(int, kind);
        QFETCH(QString, scheme);
        QFETCH(QString, password);
        QFETCH(bool, expected);
        QFETCH(QString, reason);

        QString location;
        if (kind < 0) {
            QTcpServer probe;
            QVERIFY(probe.listen(QHostAddress::LocalHost, 0));
            const int port = probe.serverPort();
            probe.close();
            location = withPort(scheme, port, "/site");
        } else {
            QString error;
            TestServer *server = servers.get(TestServer::Kind(kind), &error);
            QVERIFY2(server, qPrintable(error));
            QUrl url = server->url("/site");
            url.setPassword(password);
            if (!scheme.isEmpty())
                url.setScheme(scheme);
            location = url.toString();
        }
        Bridge bridge;
        bridge.setError("left from before");
        // A server that answers is never held to the deadline, however busy the machine.
        qputenv("QUILLARY_FTP_DEADLINE_MS", "30000");
        const bool answer = bridge.testFtpLocation(location);
        qputenv("QUILLARY_FTP_DEADLINE_MS", QByteArray::number(deadlineMs));
        QCOMPARE(answer, expected);
        const QString said = bridge.property("error").toString();
        if (expected)
            QCOMPARE(said, QString());
        else
            QVERIFY2(said.contains(reason), qPrintable(said));
        QVERIFY2(!said.contains(password) || password.isEmpty() || expected, "the password is never shown");
    }

    // A 1.7 GB file on the server (a sparse one) is refused, both as a project
    // file and as a publish run's read-back: an error, no crash, and no more
    // than the cap ever reaches the disk or memory.
    void largeRemoteFileIsRefused_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("pyftpd (size not announced)") << int(TestServer::PyFtp);
        QTest::newRow("vsftpd (size announced)") << int(TestServer::Vsftpd);
        QTest::newRow("sftp") << int(TestServer::Sftp);
    }
    void largeRemoteFileIsRefused()
    {
        QFETCH(int, kind);
        QString error;
        TestServer *server = servers.get(TestServer::Kind(kind), &error);
        QVERIFY2(server, qPrintable(error));
        const QString name = "huge-project.json";
        QVERIFY(makeSparse(server->rootFolder() + "/big/" + name, 1700LL * 1000 * 1000));

        const qint64 peakBefore = TestMemory::peakRssKiB();
        Bridge bridge;
        qputenv("QUILLARY_FTP_DEADLINE_MS", "60000");
        const QString text = bridge.getProjectFile(server->url("/big/" + name).toString());
        qputenv("QUILLARY_FTP_DEADLINE_MS", QByteArray::number(deadlineMs));
        QCOMPARE(text, QString());
        const QString reason = bridge.property("error").toString();
        QVERIFY2(reason.contains("larger than 512 MiB"), qPrintable(reason));
        QVERIFY2(TestMemory::peakRssKiB() - peakBefore < 200 * 1024, qPrintable(QString("peak grew %1 kB").arg(TestMemory::peakRssKiB() - peakBefore)));

        // The same file read back by a publish run: an error for the page, never its bytes.
        QSignalSpy calls(&bridge, &Bridge::jsChanged);
        QVERIFY(bridge.initFileManager(server->url("/big").toString()));
        bridge.downloadFile(name);
        auto seen = [&calls](const QString &prefix) {
            for (const QList<QVariant> &args : calls)
                if (args.at(0).toString().startsWith(prefix))
                    return args.at(0).toString();
            return QString();
        };
        QTRY_VERIFY_WITH_TIMEOUT(!seen("Bridge._fmError").isEmpty(), 60000);
        QVERIFY2(seen("Bridge._fmError").contains("Maximum file size exceeded"), qPrintable(seen("Bridge._fmError")));
        QCOMPARE(seen("Bridge._fmFileReady"), QString());
        bridge.exitPublish();
        QTRY_VERIFY_WITH_TIMEOUT(!seen("Bridge._fmClose").isEmpty(), 20000);
        QVERIFY2(TestMemory::peakRssKiB() - peakBefore < 200 * 1024, qPrintable(QString("peak grew %1 kB").arg(TestMemory::peakRssKiB() - peakBefore)));

        TestEnv::RootScope root;
        QFile::remove(server->rootFolder() + "/big/" + name);
    }

    // The remote read still works for files that fit, through the worker.
    void remoteProjectFileIsRead()
    {
        QString error;
        TestServer *server = servers.get(TestServer::Sftp, &error);
        QVERIFY2(server, qPrintable(error));
        {
            TestEnv::RootScope root;
            QDir().mkpath(server->rootFolder() + "/site");
            QFile file(server->rootFolder() + "/site/fits.quillary");
            QVERIFY(file.open(QIODevice::WriteOnly));
            file.write(QString::fromUtf8("{ \"name\": \"Café\" }").toUtf8());
        }
        Bridge bridge;
        QCOMPARE(bridge.getProjectFile(server->url("/site/fits.json").toString()),
                 QString::fromUtf8("{ \"name\": \"Café\" }"));
    }
};

QUILLARY_TEST_MAIN(TestRemoteFetch)
#include "tst_remotefetch.moc"
