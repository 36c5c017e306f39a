#include "testmain.h"

#include <QElapsedTimer>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <functional>

#include "muteserver.h"
#include "webfixture.h"

namespace {

// An HTTP server that answers every request after a while.
class SlowHttpServer : public QTcpServer
{
public:
    explicit SlowHttpServer(int delayMs) : delayMs(delayMs) { listen(QHostAddress::LocalHost, 0); }
    QString url() const { return QStringLiteral("http://127.0.0.1:%1/slow").arg(serverPort()); }

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QTcpSocket(this);
        socket->setSocketDescriptor(handle);
        QTimer::singleShot(delayMs, socket, [socket]() {
            socket->write("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: close\r\n\r\nslow\n");
            socket->disconnectFromHost();
        });
    }

private:
    int delayMs;
};

// The deadline of server calls in this test, instead of 60 s.
struct Deadline
{
    explicit Deadline(int ms) { qputenv("QUILLARY_FTP_DEADLINE_MS", QByteArray::number(ms)); }
    ~Deadline() { qunsetenv("QUILLARY_FTP_DEADLINE_MS"); }
};

} // namespace

// Calls that wait in a nested event loop (server calls, synchronous
// downloads) while page scripts, timers and clicks go on: the page under the
// waiting script is never rebuilt, a second remote call does not nest inside
// the first, and the page's Cancel ends the host's call.
class TestNestedWaits : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void reloadWaitsForTheScript_data();
    void reloadWaitsForTheScript();
    void secondRemoteCallIsRefused_data();
    void secondRemoteCallIsRefused();
    void cancelEndsTheServerCall_data();
    void cancelEndsTheServerCall();
    void closeRequestEndsTheWait_data();
    void closeRequestEndsTheWait();

private:
    MainWindow *window = nullptr;
};

void TestNestedWaits::initTestCase()
{
    QVERIFY(WebFixture::registerTestBundle());
    window = new MainWindow(false);
    window->show();
    QVERIFY(WebFixture::waitForPage(*window));
}

void TestNestedWaits::cleanupTestCase()
{
    delete window;
}

void TestNestedWaits::reloadWaitsForTheScript_data()
{
    // MUTE: a server that never answers; SLOW: an HTTP download that takes 400 ms.
    QTest::addColumn<QString>("script");
    QTest::newRow("reload asked just before a connection test")
            << "_Bridge_.reloadWeb(); var ok = _Bridge_.testFtpLocation(MUTE);";
    QTest::newRow("reload from a page timer during a connection test")
            << "setTimeout(function () { _Bridge_.reloadWeb(); }, 300);"
               " var ok = _Bridge_.testFtpLocation(MUTE);";
    QTest::newRow("reload held back by a download, then a connection test")
            << "setTimeout(function () { _Bridge_.reloadWeb(); }, 100);"
               " _Bridge_.download(SLOW, {}); var ok = _Bridge_.testFtpLocation(MUTE);";
    QTest::newRow("reload from a page timer during a project file read")
            << "setTimeout(function () { _Bridge_.reloadWeb(); }, 300);"
               " var ok = _Bridge_.getProjectFile(MUTE + '/project.json') !== '';";
}

void TestNestedWaits::reloadWaitsForTheScript()
{
    QFETCH(QString, script);
    const Deadline deadline(1500);
    MuteServer mute;
    SlowHttpServer slow(400);
    QVERIFY(WebFixture::waitForPage(*window));
    QPointer<QWebView> oldView = window->webView();

    // Halfway through the wait, from the window's own loop: the page is the one the script runs in.
    bool sameViewWhileWaiting = false;
    QTimer::singleShot(1000, this, [&]() { sameViewWhileWaiting = window->webView() == oldView.data(); });
    const QString js = QStringLiteral("(function () { var MUTE = '%1', SLOW = '%2'; %3 return 'returned ' + ok; })()")
                               .arg(mute.url(), slow.url(), script);
    QElapsedTimer clock;
    clock.start();
    const QString result = WebFixture::eval(*window, js).toString();
    QCOMPARE(result, QStringLiteral("returned false"));
    QVERIFY2(clock.elapsed() >= 1400, qPrintable(QString::number(clock.elapsed())));
    QVERIFY(sameViewWhileWaiting);
    QVERIFY(oldView);
    QCOMPARE(mute.accepted, 1);

    // The reload asked for is carried out once the script has returned, once.
    QTRY_VERIFY_WITH_TIMEOUT(window->webView() != oldView.data(), 5000);
    QVERIFY(WebFixture::waitForPage(*window));
    QPointer<QWebView> newView = window->webView();
    WebFixture::eval(*window, QStringLiteral("window.generation = 'after the wait'"));
    QTest::qWait(500);
    QCOMPARE(window->webView(), newView.data());
    QCOMPARE(WebFixture::eval(*window, QStringLiteral("window.generation")).toString(), QStringLiteral("after the wait"));
    QTRY_VERIFY(oldView.isNull());
}

void TestNestedWaits::secondRemoteCallIsRefused_data()
{
    QTest::addColumn<QString>("second");
    QTest::newRow("connection test") << "test";
    QTest::newRow("project file") << "project";
    QTest::newRow("download") << "download";
}

void TestNestedWaits::secondRemoteCallIsRefused()
{
    QFETCH(QString, second);
    const Deadline deadline(1500);
    MuteServer first;
    MuteServer other;
    SlowHttpServer slow(100);
    Bridge bridge;

    QVariant secondResult;
    QString reasonDuringWait;
    qint64 secondTook = -1;
    auto callSecond = [&]() {
        QElapsedTimer clock;
        clock.start();
        if (second == QLatin1String("test"))
            secondResult = bridge.testFtpLocation(other.url());
        else if (second == QLatin1String("project"))
            secondResult = bridge.getProjectFile(other.url() + QStringLiteral("/project.json"));
        else
            secondResult = bridge.download(slow.url(), QVariantMap());
        secondTook = clock.elapsed();
        reasonDuringWait = bridge.property("error").toString();
    };
    // A page timer that fires while the first call waits.
    QTimer::singleShot(300, this, callSecond);
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!bridge.testFtpLocation(first.url()));
    const qint64 firstTook = clock.elapsed();

    // The second went nowhere and said why, at once; the first waited for its own server only.
    QVERIFY(secondTook >= 0);
    QVERIFY2(secondTook < 200, qPrintable(QString::number(secondTook)));
    if (second == QLatin1String("test"))
        QCOMPARE(secondResult, QVariant(false));
    else
        QCOMPARE(secondResult.toString(), QString());
    QVERIFY2(reasonDuringWait.contains(QLatin1String("Another server call is still waiting")), qPrintable(reasonDuringWait));
    QCOMPARE(other.accepted, 0);
    QVERIFY2(firstTook < 1500 + 2500, qPrintable(QString::number(firstTook)));
    const QString firstReason = bridge.property("error").toString();
    QVERIFY2(firstReason.contains(QLatin1String("within 1.5 s")), qPrintable(firstReason));

    // Once nothing waits, the same call goes out.
    if (second == QLatin1String("download")) {
        QVERIFY(!bridge.download(slow.url(), QVariantMap()).isEmpty());
    } else {
        callSecond();
        QCOMPARE(other.accepted, 1);
        QVERIFY2(!bridge.property("error").toString().contains(QLatin1String("Another")),
                 qPrintable(bridge.property("error").toString()));
    }
}

void TestNestedWaits::cancelEndsTheServerCall_data()
{
    QTest::addColumn<bool>("connectionTest");
    QTest::newRow("connection test") << true;
    QTest::newRow("project file read") << false;
}

void TestNestedWaits::cancelEndsTheServerCall()
{
    QFETCH(bool, connectionTest);
    // Far beyond what the cancel may take: only the cancel can end the call in time.
    const Deadline deadline(30000);
    MuteServer mute;
    Bridge bridge;
    QVERIFY(!bridge.remoteCallRunning());
    QVERIFY(!bridge.cancelFtpCall());   // nothing waits

    QElapsedTimer sinceCancel;
    bool cancelled = false;
    bool runningWhenCancelled = false;
    mute.onAccepted = [&]() {
        // The server has the connection: the page's Cancel comes a moment later.
        QTimer::singleShot(200, this, [&]() {
            runningWhenCancelled = bridge.remoteCallRunning();
            sinceCancel.start();
            cancelled = bridge.cancelFtpCall();
        });
    };
    QVariant result;
    if (connectionTest)
        result = bridge.testFtpLocation(mute.url());
    else
        result = bridge.getProjectFile(mute.url() + QStringLiteral("/project.json"));

    QVERIFY(cancelled);
    QVERIFY(runningWhenCancelled);
    QVERIFY2(sinceCancel.elapsed() < 2000, qPrintable(QString::number(sinceCancel.elapsed())));
    QCOMPARE(result.toString(), connectionTest ? QStringLiteral("false") : QString());
    QCOMPARE(bridge.property("error").toString(), QStringLiteral("Cancelled."));
    QVERIFY(!bridge.remoteCallRunning());
    // The client closed its connection: the server sees it go.
    QTRY_COMPARE_WITH_TIMEOUT(mute.closed, 1, 2000);
    QCOMPARE(mute.accepted, 1);
}

void TestNestedWaits::closeRequestEndsTheWait_data()
{
    QTest::addColumn<QString>("call");
    QTest::newRow("connection test") << "test";
    QTest::newRow("project file read") << "project";
    QTest::newRow("download") << "download";
}

// Closing the window while the page waits for a server: the wait ends at once,
// with nothing to show for it, so the page can save and close.
void TestNestedWaits::closeRequestEndsTheWait()
{
    QFETCH(QString, call);
    const Deadline deadline(30000);
    MuteServer mute;
    Bridge bridge;
    QElapsedTimer sinceClose;
    mute.onAccepted = [&]() {
        QTimer::singleShot(200, this, [&]() {
            sinceClose.start();
            bridge.prepareToClose();
        });
    };
    QString result;
    if (call == QLatin1String("test"))
        result = bridge.testFtpLocation(mute.url()) ? QStringLiteral("true") : QString();
    else if (call == QLatin1String("project"))
        result = bridge.getProjectFile(mute.url() + QStringLiteral("/project.json"));
    else
        result = bridge.download(QStringLiteral("http://127.0.0.1:%1/site.zip").arg(mute.port()), QVariantMap());

    QVERIFY(sinceClose.isValid());
    QVERIFY2(sinceClose.elapsed() < 2000, qPrintable(QString::number(sinceClose.elapsed())));
    QCOMPARE(result, QString());
    QVERIFY(!bridge.remoteCallRunning());
    QTRY_COMPARE_WITH_TIMEOUT(mute.closed, 1, 2000);
    QCOMPARE(mute.accepted, 1);
}

QUILLARY_TEST_MAIN(TestNestedWaits)
#include "tst_nestedwaits.moc"
