#include "testmain.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include "bridge.h"
#include "miscutils.h"
#include "peakmemory.h"

// A local HTTP/1.1 server with bodies no download should keep:
//   /endless       chunked, no length, never ends
//   /huge          announces 2.1 GB and streams zeros as fast as it is read
//   /sized/N       exactly N zero bytes, with their length
//   /drip          announces 1 MB, sends one byte every 200 ms
//   /short         announces 1000 bytes, sends 10 and closes
//   /echo          the request's header block as the body
class LimitServer : public QTcpServer
{
    Q_OBJECT
public:
    LimitServer() { connect(this, &QTcpServer::newConnection, this, &LimitServer::accept); }

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
    }

    int requests = 0;
    QByteArray lastHead;

private:
    struct Stream
    {
        qint64 left = -1;      // bytes still to send; -1: without end
        bool chunked = false;
    };

    void accept()
    {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QObject::destroyed, this, [this, socket] { streams.remove(socket); pending.remove(socket); });
        }
    }

    void read(QTcpSocket *socket)
    {
        QByteArray &buffer = pending[socket];
        buffer += socket->readAll();
        const int end = buffer.indexOf("\r\n\r\n");
        if (end < 0)
            return;
        const QByteArray head = buffer.left(end + 2);
        buffer.clear();
        ++requests;
        lastHead = head;
        const QByteArray path = head.left(head.indexOf("\r\n")).split(' ').value(1);
        if (path == "/endless") {
            socket->write("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
            startStream(socket, { -1, true });
        } else if (path == "/huge") {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 2100000000\r\n\r\n");
            startStream(socket, { qint64(2100000000), false });
        } else if (path.startsWith("/sized/")) {
            const qint64 size = path.mid(7).toLongLong();
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(size) + "\r\n\r\n");
            startStream(socket, { size, false });
        } else if (path == "/drip") {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 1000000\r\n\r\n");
            auto *timer = new QTimer(socket);
            connect(timer, &QTimer::timeout, socket, [socket] { socket->write("x"); });
            timer->start(200);
        } else if (path == "/short") {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 1000\r\n\r\n0123456789");
            socket->flush();
            socket->disconnectFromHost();
        } else if (path == "/echo") {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: " + QByteArray::number(head.size()) + "\r\n\r\n" + head);
        } else {
            socket->write("HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        }
    }

    void startStream(QTcpSocket *socket, const Stream &stream)
    {
        streams.insert(socket, stream);
        connect(socket, &QTcpSocket::bytesWritten, this, [this, socket] { pump(socket); });
        pump(socket);
    }

    // Keeps about a megabyte queued: the body is made as it is read, never stored.
    void pump(QTcpSocket *socket)
    {
        static const QByteArray block(64 * 1024, '\0');
        auto it = streams.find(socket);
        if (it == streams.end())
            return;
        while (socket->bytesToWrite() < (1 << 20) && it->left != 0) {
            const qint64 n = it->left < 0 ? block.size() : qMin<qint64>(block.size(), it->left);
            if (it->chunked)
                socket->write(QByteArray::number(n, 16) + "\r\n" + block.left(int(n)) + "\r\n");
            else
                socket->write(block.constData(), n);
            if (it->left > 0)
                it->left -= n;
        }
    }

    QHash<QTcpSocket *, QByteArray> pending;
    QHash<QTcpSocket *, Stream> streams;
};

class TestDownloadLimits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void bodyOverTheCapFails_data();
    void bodyOverTheCapFails();
    void largeBodyGoesToTheFile();
    void dripHitsTheDeadline();
    void shortBodyFails();
    void headerWithLineBreakIsRefused_data();
    void headerWithLineBreakIsRefused();

private:
    // The result of download2: the callback's name and its second argument.
    QPair<QString, QString> download2(Bridge &bridge, const QString &url, const QVariantMap &headers,
                                      int timeoutMs);
    int tempFiles(Bridge &bridge) const
    {
        return QDir(bridge.getTempLocation()).entryList(QDir::Files).size();
    }

    LimitServer server;
};

void TestDownloadLimits::initTestCase()
{
    QVERIFY2(server.listen(QHostAddress::LocalHost, 0), qPrintable(server.errorString()));
}

void TestDownloadLimits::init()
{
    qunsetenv("QUILLARY_DOWNLOAD_TIMEOUT_MS");
    qunsetenv("QUILLARY_DOWNLOAD_DEADLINE_MS");
    qunsetenv("QUILLARY_DOWNLOAD_MAX_BYTES");
}

QPair<QString, QString> TestDownloadLimits::download2(Bridge &bridge, const QString &url,
                                                      const QVariantMap &headers, int timeoutMs)
{
    QSignalSpy js(&bridge, &Bridge::jsChanged);
    const QString id = bridge.download2(url, headers);
    if (js.isEmpty())
        js.wait(timeoutMs);
    if (js.isEmpty())
        return { QStringLiteral("<none>"), QString() };
    const QString text = js.first().first().toString();
    const QString name = text.section(QLatin1Char('.'), 1, 1);
    const QJsonArray args = QJsonDocument::fromJson(
            text.mid(text.indexOf(QLatin1Char('[')), text.lastIndexOf(QLatin1Char(']')) - text.indexOf(QLatin1Char('[')) + 1)
                    .toUtf8()).array();
    if (args.at(0).toString() != id)
        return { QStringLiteral("<wrong id>"), QString() };
    return { name, args.at(1).toString() };
}

void TestDownloadLimits::bodyOverTheCapFails_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("reason");
    // 2.1 GB announced: refused at once, whatever comes.
    QTest::newRow("2.1 GB body") << "/huge" << "too large";
    // No length: cut off once the cap (512 MiB) is passed.
    QTest::newRow("endless body") << "/endless" << "too large";
}

// A body over the cap is a failure, in bounded memory and time, and leaves no
// file behind.
void TestDownloadLimits::bodyOverTheCapFails()
{
    QFETCH(QString, path);
    QFETCH(QString, reason);
    Bridge bridge;
    const qint64 before = TestMemory::peakRssKiB();
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(bridge.download(server.url(path), QVariantMap()), QString());
    const auto result = download2(bridge, server.url(path), QVariantMap(), 60000);
    QCOMPARE(result.first, QStringLiteral("_dwError"));
    QVERIFY2(result.second.contains(reason), qPrintable(result.second));
    const qint64 after = TestMemory::peakRssKiB();
    qInfo() << path << "failed after" << clock.elapsed() << "ms; peak memory" << before << "->" << after << "KiB";
    QVERIFY2(after - before < 128 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(after - before)));
    QCOMPARE(tempFiles(bridge), 0);
}

// A body within the cap arrives whole, and is not held in memory on the way.
void TestDownloadLimits::largeBodyGoesToTheFile()
{
    Bridge bridge;
    const qint64 size = qint64(300) << 20;
    const qint64 before = TestMemory::peakRssKiB();
    const QString url = bridge.download(server.url(QStringLiteral("/sized/%1").arg(size)), QVariantMap());
    QVERIFY(!url.isEmpty());
    QCOMPARE(QFileInfo(urlToLocalPath(url)).size(), size);
    QVERIFY(QFile::remove(urlToLocalPath(url)));
    const auto result = download2(bridge, server.url(QStringLiteral("/sized/%1").arg(size)), QVariantMap(), 60000);
    QCOMPARE(result.first, QStringLiteral("_dwFinished"));
    QCOMPARE(QFileInfo(urlToLocalPath(result.second)).size(), size);
    const qint64 after = TestMemory::peakRssKiB();
    qInfo() << "peak memory" << before << "->" << after << "KiB for two bodies of" << (size >> 20) << "MiB";
    QVERIFY2(after - before < 128 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(after - before)));
}

// A byte every 200 ms never lets the stall time-out fire; the overall
// deadline (1.5 s here) ends the download all the same.
void TestDownloadLimits::dripHitsTheDeadline()
{
    qputenv("QUILLARY_DOWNLOAD_TIMEOUT_MS", "1000");
    qputenv("QUILLARY_DOWNLOAD_DEADLINE_MS", "1500");
    Bridge bridge;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(bridge.download(server.url(QStringLiteral("/drip")), QVariantMap()), QString());
    const qint64 first = clock.restart();
    const auto result = download2(bridge, server.url(QStringLiteral("/drip")), QVariantMap(), 10000);
    const qint64 second = clock.elapsed();
    QCOMPARE(result.first, QStringLiteral("_dwError"));
    QVERIFY2(result.second.contains(QLatin1String("timed out")), qPrintable(result.second));
    QVERIFY2(first >= 1400 && first < 5000, qPrintable(QString::number(first)));
    QVERIFY2(second >= 1400 && second < 5000, qPrintable(QString::number(second)));
    QCOMPARE(tempFiles(bridge), 0);
}

// Fewer bytes than announced: the connection broke, the file is not whole.
void TestDownloadLimits::shortBodyFails()
{
    Bridge bridge;
    QCOMPARE(bridge.download(server.url(QStringLiteral("/short")), QVariantMap()), QString());
    const auto result = download2(bridge, server.url(QStringLiteral("/short")), QVariantMap(), 10000);
    QCOMPARE(result.first, QStringLiteral("_dwError"));
    QCOMPARE(tempFiles(bridge), 0);
}

void TestDownloadLimits::headerWithLineBreakIsRefused_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("value");
    QTest::newRow("CR LF in a value") << "X-Feed" << "1\r\nX-Injected: yes";
    QTest::newRow("LF in a value") << "X-Feed" << "1\nX-Injected: yes";
    QTest::newRow("CR in a value") << "X-Feed" << "1\rX-Injected: yes";
    QTest::newRow("zero byte in a value") << "X-Feed" << QStringLiteral("1") + QChar(0) + QStringLiteral("X");
    QTest::newRow("LF in a name") << "X-Injected: yes\nX-Feed" << "1";
}

// A header that would split into two is refused: nothing reaches the server.
void TestDownloadLimits::headerWithLineBreakIsRefused()
{
    QFETCH(QString, name);
    QFETCH(QString, value);
    Bridge bridge;
    const QVariantMap headers { { name, value }, { QStringLiteral("Accept"), QStringLiteral("*/*") } };
    const int requests = server.requests;
    QCOMPARE(bridge.download(server.url(QStringLiteral("/echo")), headers), QString());
    const auto result = download2(bridge, server.url(QStringLiteral("/echo")), headers, 5000);
    QCOMPARE(result.first, QStringLiteral("_dwError"));
    QTest::qWait(100);
    QCOMPARE(server.requests, requests);

    // The same header without the break goes out as one header.
    const QString url = bridge.download(server.url(QStringLiteral("/echo")), { { QStringLiteral("X-Feed"), QStringLiteral("1") } });
    QVERIFY(!url.isEmpty());
    QVERIFY(server.lastHead.contains("X-Feed: 1\r\n"));
    QVERIFY(!server.lastHead.contains("X-Injected"));
}

QUILLARY_TEST_MAIN(TestDownloadLimits)
#include "tst_downloadlimits.moc"
