#include "testmain.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QPointer>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include "bridge.h"
#include "messagelog.h"
#include "miscutils.h"

// A small HTTP/1.1 server on 127.0.0.1 that answers by path:
//   /hello          200 "hello body"
//   /echo           200, the request's header block as the body
//   /missing        404
//   /redirect       302 to /hello;  /loop  302 to itself;  /bare  302 without a target
//   /silent         reads the request and never answers
//   /slow/NAME      200 "body of NAME" after 300 ms
class HttpServer : public QTcpServer
{
    Q_OBJECT
public:
    HttpServer()
    {
        connect(this, &QTcpServer::newConnection, this, &HttpServer::accept);
    }

    QString url(const QString &path) const
    {
        return QStringLiteral("http://127.0.0.1:%1%2").arg(serverPort()).arg(path);
    }

    int requests = 0;

private:
    void accept()
    {
        while (QTcpSocket *socket = nextPendingConnection()) {
            connect(socket, &QTcpSocket::readyRead, this, [this, socket] { read(socket); });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
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
        buffer.remove(0, end + 4);
        ++requests;
        const QByteArray path = head.left(head.indexOf("\r\n")).split(' ').value(1);
        if (path == "/hello")
            answer(socket, "200 OK", "hello body");
        else if (path == "/echo")
            answer(socket, "200 OK", head);
        else if (path == "/missing")
            answer(socket, "404 Not Found", "no such page");
        else if (path == "/redirect")
            answer(socket, "302 Found", "moved", "Location: /hello\r\n");
        else if (path == "/loop")
            answer(socket, "302 Found", "moved", "Location: /loop\r\n");
        else if (path == "/bare")
            answer(socket, "302 Found", "a redirect page");
        else if (path.startsWith("/slow/")) {
            const QPointer<QTcpSocket> guarded(socket);
            const QByteArray body = "body of " + path.mid(6);
            QTimer::singleShot(300, this, [this, guarded, body] {
                if (guarded)
                    answer(guarded, "200 OK", body);
            });
        } else if (path != "/silent")
            answer(socket, "500 Internal Server Error", "unknown path");
    }

    static void answer(QTcpSocket *socket, const QByteArray &status, const QByteArray &body,
                       const QByteArray &extra = QByteArray())
    {
        socket->write("HTTP/1.1 " + status + "\r\nContent-Type: application/octet-stream\r\n"
                      "Content-Length: " + QByteArray::number(body.size()) + "\r\n" + extra + "\r\n"
                      + body);
    }

    QHash<QTcpSocket *, QByteArray> pending;
};

// One callback the bridge sent to the page: its name and arguments.
struct Callback
{
    QString name;
    QStringList args;
};

class TestDownloads : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void identifiersCountEveryCall();
    void headersInNameOrder();
    void localFile();
    void localFileAnswersBeforeTheIdentifier();
    void localFileTooLargeFails();
    void failureLogHidesCredentials();
    void results_data();
    void results();
    void silentServerTimesOut();
    void parallelDownloadsGetTheirOwnFiles();
    void unwritableResultFails();
    void reloadWaitsForSynchronousDownload();

private:
    static Callback parse(const QString &js);
    static QByteArray readUrl(const QString &url);
    // A file of the given bytes in a folder of the test; its path, or empty text.
    QString sourceFile(const QString &name, const QByteArray &bytes);
    static QList<Callback> callbacks(const QSignalSpy &spy);

    HttpServer server;
    QTemporaryDir sources;
};

void TestDownloads::initTestCase()
{
    QVERIFY2(server.listen(QHostAddress::LocalHost, 0), qPrintable(server.errorString()));
    QVERIFY(sources.isValid());
}

void TestDownloads::init()
{
    qunsetenv("QUILLARY_DOWNLOAD_TIMEOUT_MS");
}

Callback TestDownloads::parse(const QString &js)
{
    // "Bridge.NAME.apply(Bridge,[ ... ]);"
    Callback callback;
    const QString prefix = QStringLiteral("Bridge.");
    const QString middle = QStringLiteral(".apply(Bridge,");
    const int at = js.indexOf(middle);
    if (!js.startsWith(prefix) || at < 0 || !js.endsWith(QLatin1String(");")))
        return callback;
    callback.name = js.mid(prefix.size(), at - prefix.size());
    const QString list = js.mid(at + middle.size(), js.size() - at - middle.size() - 2);
    for (const QJsonValue &value : QJsonDocument::fromJson(list.toUtf8()).array())
        callback.args << value.toString();
    return callback;
}

QList<Callback> TestDownloads::callbacks(const QSignalSpy &spy)
{
    QList<Callback> list;
    for (const QList<QVariant> &emission : spy)
        list << parse(emission.at(0).toString());
    return list;
}

QByteArray TestDownloads::readUrl(const QString &url)
{
    QFile file(urlToLocalPath(url));
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return file.readAll();
}

QString TestDownloads::sourceFile(const QString &name, const QByteArray &bytes)
{
    const QString path = sources.path() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

void TestDownloads::identifiersCountEveryCall()
{
    Bridge bridge;
    QSignalSpy js(&bridge, &Bridge::jsChanged);
    const QString missing = localPathToUrl(bridge.getTempLocation() + QStringLiteral("/missing.txt"));
    QCOMPARE(bridge.download2(missing, QVariantMap()), QString());   // unreadable: no id, no callback
    QCOMPARE(js.count(), 0);
    QCOMPARE(bridge.download2(server.url(QStringLiteral("/missing")), QVariantMap()), QStringLiteral("download1"));
    QCOMPARE(bridge.download2(server.url(QStringLiteral("/hello")), QVariantMap()), QStringLiteral("download2"));
    QTRY_COMPARE_WITH_TIMEOUT(js.count(), 2, 10000);

    QMap<QString, Callback> byId;
    for (const Callback &callback : callbacks(js))
        byId.insert(callback.args.value(0), callback);
    QCOMPARE(byId.value(QStringLiteral("download1")).name, QStringLiteral("_dwError"));
    QVERIFY(!byId.value(QStringLiteral("download1")).args.value(1).isEmpty());
    QCOMPARE(byId.value(QStringLiteral("download2")).name, QStringLiteral("_dwFinished"));
    QCOMPARE(readUrl(byId.value(QStringLiteral("download2")).args.value(1)), QByteArray("hello body"));
    // A new bridge starts counting again.
    Bridge second;
    QCOMPARE(second.download2(server.url(QStringLiteral("/hello")), QVariantMap()), QStringLiteral("download0"));
}

void TestDownloads::headersInNameOrder()
{
    Bridge bridge;
    QVariantMap headers;
    headers.insert(QStringLiteral("X-Zeta"), QStringLiteral("last"));
    headers.insert(QStringLiteral("X-Alpha"), QStringLiteral("caf\u00e9"));
    headers.insert(QStringLiteral("X-Count"), 5.0);   // scripts pass numbers as doubles
    headers.insert(QStringLiteral("X-Ratio"), 1.5);
    const QString url = bridge.download(server.url(QStringLiteral("/echo")), headers);
    QVERIFY(!url.isEmpty());
    const QByteArray head = readUrl(url);
    const QList<QByteArray> expected{ "X-Alpha: caf\xe9\r\n", "X-Count: 5\r\n", "X-Ratio: 1.5\r\n",
                                      "X-Zeta: last\r\n" };
    int previous = -1;
    for (const QByteArray &line : expected) {
        const int at = head.indexOf(line);
        QVERIFY2(at > previous, line.constData());
        previous = at;
    }
}

void TestDownloads::localFile()
{
    Bridge bridge;
    QByteArray bytes;
    for (int i = 0; i < 70000; ++i)
        bytes += char(i * 7);
    const QString path = sourceFile(QStringLiteral("My Photo #1.jpg"), bytes);
    QVERIFY(!path.isEmpty());
    const QString url = bridge.download(localPathToUrl(path), QVariantMap());
    QVERIFY(!url.isEmpty());
    QCOMPARE(QFileInfo(urlToLocalPath(url)).absolutePath(), QDir(bridge.getTempLocation()).absolutePath());
    QCOMPARE(readUrl(url), bytes);
    QVERIFY(url != localPathToUrl(path));
    QCOMPARE(bridge.download(localPathToUrl(sources.path() + QStringLiteral("/none.jpg")), QVariantMap()),
             QString());
}

void TestDownloads::localFileAnswersBeforeTheIdentifier()
{
    Bridge bridge;
    const QString path = sourceFile(QStringLiteral("news.json"), "{ \"news\" : [] }");
    QVERIFY(!path.isEmpty());
    QSignalSpy js(&bridge, &Bridge::jsChanged);
    const QString id = bridge.download2(localPathToUrl(path), QVariantMap());
    // Already there when the call returns, without a turn of the event loop.
    QCOMPARE(js.count(), 1);
    QCOMPARE(id, QStringLiteral("download0"));
    const Callback callback = parse(js.at(0).at(0).toString());
    QCOMPARE(callback.name, QStringLiteral("_dwFinished"));
    QCOMPARE(callback.args.value(0), id);
    QCOMPARE(readUrl(callback.args.value(1)), QByteArray("{ \"news\" : [] }"));
}

// Larger than one array can hold: the read comes back short, which is a
// failure, not an empty download.
void TestDownloads::localFileTooLargeFails()
{
    Bridge bridge;
    const QString path = sources.path() + QStringLiteral("/huge.bin");
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(5) << 29));   // 2.5 GiB, sparse
    }
    QSignalSpy js(&bridge, &Bridge::jsChanged);
    QCOMPARE(bridge.download(localPathToUrl(path), QVariantMap()), QString());
    QCOMPARE(bridge.download2(localPathToUrl(path), QVariantMap()), QString());
    QCOMPARE(js.count(), 0);
    QVERIFY(QFile::remove(path));
}

// Qt's error texts quote the URL whole; the message log must not get its password.
void TestDownloads::failureLogHidesCredentials()
{
    Bridge bridge;
    QSignalSpy js(&bridge, &Bridge::jsChanged);
    MessageLog log;
    const QString url = server.url(QStringLiteral("/missing")).replace(QStringLiteral("://"),
                                                                      QStringLiteral("://feed:s3cret@"));
    QCOMPARE(bridge.download(url, QVariantMap()), QString());
    bridge.download2(url, QVariantMap());
    QTRY_COMPARE_WITH_TIMEOUT(js.count(), 1, 10000);
    const QString lines = log.messages().join(QLatin1Char('\n'));
    QVERIFY2(lines.contains(QLatin1String("download failed")) && lines.contains(QLatin1String("download0"))
                     && lines.contains(QLatin1String("127.0.0.1")) && !lines.contains(QLatin1String("s3cret")),
             qPrintable(lines));
}

void TestDownloads::results_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("body");   // empty: the download fails
    QTest::newRow("ok") << "/hello" << QByteArray("hello body");
    QTest::newRow("not found") << "/missing" << QByteArray();
    QTest::newRow("server error") << "/unknown" << QByteArray();
    QTest::newRow("redirect followed") << "/redirect" << QByteArray("hello body");
    QTest::newRow("redirect loop") << "/loop" << QByteArray();
    QTest::newRow("redirect without target") << "/bare" << QByteArray();
    QTest::newRow("connection refused") << "refused" << QByteArray();
}

void TestDownloads::results()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, body);
    QString url = server.url(path);
    if (path == QLatin1String("refused")) {
        QTcpServer closed;
        QVERIFY(closed.listen(QHostAddress::LocalHost, 0));
        url = QStringLiteral("http://127.0.0.1:%1/x").arg(closed.serverPort());
    }
    Bridge bridge;
    const QString file = bridge.download(url, QVariantMap());
    if (body.isEmpty())
        QCOMPARE(file, QString());
    else
        QCOMPARE(readUrl(file), body);

    QSignalSpy js(&bridge, &Bridge::jsChanged);
    const QString id = bridge.download2(url, QVariantMap());
    QCOMPARE(id, QStringLiteral("download0"));
    QTRY_COMPARE_WITH_TIMEOUT(js.count(), 1, 10000);
    const Callback callback = parse(js.at(0).at(0).toString());
    QCOMPARE(callback.args.value(0), id);
    if (body.isEmpty()) {
        QCOMPARE(callback.name, QStringLiteral("_dwError"));
        QVERIFY(!callback.args.value(1).isEmpty());
    } else {
        QCOMPARE(callback.name, QStringLiteral("_dwFinished"));
        QCOMPARE(readUrl(callback.args.value(1)), body);
    }
    // Each download2 manager goes once it has answered.
    QTRY_COMPARE_WITH_TIMEOUT(bridge.findChildren<QObject *>(id).size(), 0, 5000);
}

void TestDownloads::silentServerTimesOut()
{
    qputenv("QUILLARY_DOWNLOAD_TIMEOUT_MS", "1000");
    Bridge bridge;
    QElapsedTimer clock;
    clock.start();
    QCOMPARE(bridge.download(server.url(QStringLiteral("/silent")), QVariantMap()), QString());
    QVERIFY2(clock.elapsed() < 20000, "the download kept waiting");

    QSignalSpy js(&bridge, &Bridge::jsChanged);
    const QString id = bridge.download2(server.url(QStringLiteral("/silent")), QVariantMap());
    QTRY_COMPARE_WITH_TIMEOUT(js.count(), 1, 20000);
    const Callback callback = parse(js.at(0).at(0).toString());
    QCOMPARE(callback.name, QStringLiteral("_dwError"));
    QCOMPARE(callback.args.value(0), id);
    QVERIFY2(callback.args.value(1).contains(QLatin1String("timed out")), qPrintable(callback.args.value(1)));
}

void TestDownloads::parallelDownloadsGetTheirOwnFiles()
{
    Bridge bridge;
    QSignalSpy js(&bridge, &Bridge::jsChanged);
    const QStringList names{ "a", "b", "c" };
    QStringList ids;
    for (const QString &name : names)
        ids << bridge.download2(server.url(QStringLiteral("/slow/") + name), QVariantMap());
    // The answers come within the same second, so their files are named alike.
    QTRY_COMPARE_WITH_TIMEOUT(js.count(), names.size(), 10000);
    QSet<QString> files;
    for (const Callback &callback : callbacks(js)) {
        QCOMPARE(callback.name, QStringLiteral("_dwFinished"));
        const int index = ids.indexOf(callback.args.value(0));
        QVERIFY(index >= 0);
        QCOMPARE(readUrl(callback.args.value(1)), "body of " + names.at(index).toUtf8());
        files.insert(callback.args.value(1));
    }
    QCOMPARE(files.size(), names.size());
}

void TestDownloads::unwritableResultFails()
{
    Bridge bridge;
    const QString path = sourceFile(QStringLiteral("a.txt"), "a");
    QVERIFY(!path.isEmpty());
    // A file in place of the temporary folder: nothing can be written there,
    // whatever the permissions of the user running the test.
    const QString temp = bridge.getTempLocation();
    const QString aside = temp + QStringLiteral(".aside");
    QVERIFY(QDir().rename(temp, aside));
    {
        QFile blocker(temp);
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    QSignalSpy js(&bridge, &Bridge::jsChanged);
    const QString local = bridge.download(localPathToUrl(path), QVariantMap());
    const QString remote = bridge.download(server.url(QStringLiteral("/hello")), QVariantMap());
    const QString id = bridge.download2(server.url(QStringLiteral("/hello")), QVariantMap());
    QTRY_COMPARE_WITH_TIMEOUT(js.count(), 1, 10000);
    const QString localId = bridge.download2(localPathToUrl(path), QVariantMap());

    QVERIFY(QFile::remove(temp));
    QVERIFY(QDir().rename(aside, temp));
    QCOMPARE(local, QString());
    QCOMPARE(remote, QString());
    QCOMPARE(js.count(), 2);
    const QList<Callback> sent = callbacks(js);
    QCOMPARE(sent.at(0).name, QStringLiteral("_dwError"));
    QCOMPARE(sent.at(0).args.value(0), id);
    QCOMPARE(sent.at(1).name, QStringLiteral("_dwError"));
    QCOMPARE(sent.at(1).args.value(0), localId);
}

void TestDownloads::reloadWaitsForSynchronousDownload()
{
    Bridge bridge;
    QSignalSpy reloads(&bridge, &Bridge::needReload);
    int reloadsWhileWaiting = -1;
    // A page timer asks for a reload while the download waits for its answer.
    QTimer::singleShot(50, &bridge, [&] { bridge.reloadWeb(); });
    QTimer::singleShot(200, &bridge, [&] { reloadsWhileWaiting = reloads.count(); });
    const QString url = bridge.download(server.url(QStringLiteral("/slow/page")), QVariantMap());
    QCOMPARE(readUrl(url), QByteArray("body of page"));
    QCOMPARE(reloadsWhileWaiting, 0);
    QCOMPARE(reloads.count(), 1);
    // Without a download waiting a reload goes out at once.
    bridge.reloadWeb();
    QCOMPARE(reloads.count(), 2);
}

QUILLARY_TEST_MAIN(TestDownloads)
#include "tst_downloads.moc"
