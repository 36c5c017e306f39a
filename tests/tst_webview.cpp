#include "testmain.h"

#include <QNetworkAccessManager>
#include <QPointer>
#include <QProcess>
#include <QScreen>
#include <QSslKey>
#include <QSslSocket>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QWebHistory>

#include "miscutils.h"
#include "webfixture.h"

namespace {

// A one-page HTTP server on loopback, standing in for any remote site.
// With a certificate and key it speaks TLS, with a self-signed certificate that no
// client can verify.
class TinyHttpServer : public QTcpServer
{
public:
    explicit TinyHttpServer(const QString &pageName, const QSslCertificate &cert = QSslCertificate(),
                            const QSslKey &key = QSslKey())
        : m_body("<html><body><script>window.pageName = '" + pageName.toUtf8()
                 + "';</script></body></html>")
        , m_cert(cert)
        , m_key(key)
    {
    }

protected:
    void incomingConnection(qintptr handle) override
    {
        auto *socket = new QSslSocket(this);
        if (!socket->setSocketDescriptor(handle)) {
            delete socket;
            return;
        }
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket] {
            m_request[socket] += socket->readAll();
            if (!m_request[socket].contains("\r\n\r\n"))
                return;
            socket->write("HTTP/1.1 200 OK\r\nContent-Type: text/html\r\nConnection: close\r\n"
                          "Content-Length: " + QByteArray::number(m_body.size()) + "\r\n\r\n" + m_body);
            socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        if (!m_cert.isNull()) {
            socket->setLocalCertificate(m_cert);
            socket->setPrivateKey(m_key);
            socket->startServerEncryption();
        }
    }

private:
    QByteArray m_body;
    QSslCertificate m_cert;
    QSslKey m_key;
    QHash<QSslSocket *, QByteArray> m_request;
};

} // namespace

class TestWebView : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void hostScriptFilledIn();
    void zoomFollowsScreen();
    void navigationInsideBundle();
    void reloadBuildsNewGeneration();
    void remotePageGetsNoHost();
    void localFileGetsHost();
    void consoleMessagesForwarded();
    void unverifiedCertificateStillLoads();

private:
    void load(const QUrl &url, const QString &pageName, bool byScript = true);

    MainWindow *window = nullptr;
    QString documents;
};

void TestWebView::initTestCase()
{
    QVERIFY(WebFixture::registerTestBundle());
    // A documents folder whose name holds a space, an apostrophe and a placeholder's
    // text.
    documents = TestEnv::root() + QStringLiteral("/home/My @DEV@ it's Docs");
    QVERIFY(QDir().mkpath(documents));
    QFile dirs(TestEnv::root() + QStringLiteral("/home/.config/user-dirs.dirs"));
    QVERIFY(dirs.open(QIODevice::WriteOnly));
    dirs.write("XDG_DOCUMENTS_DIR=\"$HOME/My @DEV@ it's Docs\"\n");
    dirs.close();
    QCOMPARE(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation), documents);

    window = new MainWindow(false);
    window->bridge()->setObjectName(QStringLiteral("the one bridge"));
    window->show();
    QVERIFY(WebFixture::waitForPage(*window));
}

void TestWebView::cleanupTestCase()
{
    delete window;
}

void TestWebView::load(const QUrl &url, const QString &pageName, bool byScript)
{
    if (byScript)
        WebFixture::eval(*window, QStringLiteral("window.location.href = '%1';").arg(url.toString()));
    else
        window->webView()->load(url);
    QVERIFY(WebFixture::waitForPage(*window, pageName));
}

void TestWebView::hostScriptFilledIn()
{
    const auto value = [this](const char *js) { return WebFixture::eval(*window, QLatin1String(js)); };
    QCOMPARE(value("Bridge.appName").toString(), QStringLiteral("Quillary"));
    QCOMPARE(value("Bridge.version").toString(), QStringLiteral("3.10"));
    QCOMPARE(value("Bridge.isDev").toBool(), false);
    QCOMPARE(value("Bridge.tempLocation").toString(), localPathToUrl(window->bridge()->getTempLocation()));
    QCOMPARE(value("Bridge.dataLocation").toString(),
             localPathToUrl(QStandardPaths::writableLocation(QStandardPaths::DataLocation)));
    const QString docs = value("Bridge.docLocation").toString();
    QCOMPARE(docs, localPathToUrl(documents));
    QVERIFY(docs.startsWith(QLatin1String("file:///")));
    QVERIFY(docs.contains(QLatin1String("My%20@DEV@")));
    QCOMPARE(urlToLocalPath(docs), documents);
}

void TestWebView::zoomFollowsScreen()
{
    const qreal expected = QGuiApplication::primaryScreen()->logicalDotsPerInchX() / 96.0;
    QVERIFY2(qAbs(window->webView()->zoomFactor() - expected) < 1e-5,
             qPrintable(QString::number(window->webView()->zoomFactor())));
}

void TestWebView::navigationInsideBundle()
{
    load(QUrl(QStringLiteral("qrc:/web/page2.html")), QStringLiteral("page2"));
    QCOMPARE(WebFixture::eval(*window, QStringLiteral("_Bridge_.objectName")).toString(),
             QStringLiteral("the one bridge"));
    QVERIFY(window->page()->history()->count() <= 1);   // the current page alone
    QVERIFY(!window->page()->history()->canGoBack());
    load(QUrl(QStringLiteral("qrc:/web/index.html")), QStringLiteral("index"), false);
}

void TestWebView::reloadBuildsNewGeneration()
{
    load(QUrl(QStringLiteral("qrc:/web/page2.html")), QStringLiteral("page2"));
    QPointer<QWebView> oldView = window->webView();
    QPointer<QWebPageEx> oldPage = window->page();
    QPointer<QNetworkAccessManager> oldNetwork = oldPage->networkAccessManager();
    QVERIFY(oldNetwork);
    bool networkOutlivedPage = false;
    connect(oldPage.data(), &QObject::destroyed, this, [&] { networkOutlivedPage = !oldNetwork.isNull(); });

    window->bridge()->reloadWeb();
    QCOMPARE(window->webView(), oldView.data());   // queued: nothing happens inside the call
    QVERIFY(WebFixture::waitForPage(*window, QStringLiteral("index")));
    QVERIFY(window->webView() != oldView.data());
    QVERIFY(window->page() != oldPage.data());
    QVERIFY(window->page()->networkAccessManager() != oldNetwork.data());
    QCOMPARE(WebFixture::eval(*window, QStringLiteral("_Bridge_.objectName")).toString(),
             QStringLiteral("the one bridge"));
    QVERIFY(!window->page()->history()->canGoBack());

    QTRY_VERIFY(oldView.isNull());
    QVERIFY(oldPage.isNull());
    QVERIFY(networkOutlivedPage);
    QTRY_VERIFY(oldNetwork.isNull());   // and is freed after it
    QCOMPARE(window->webView()->parentWidget(), window->centralWidget());
    QCOMPARE(window->webView()->page(), window->page());
}

void TestWebView::remotePageGetsNoHost()
{
    TinyHttpServer server(QStringLiteral("remote"));
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    const QUrl remote(QStringLiteral("http://127.0.0.1:%1/").arg(server.serverPort()));
    WebFixture::eval(*window, QStringLiteral("window.location.href = '%1';").arg(remote.toString()));
    QTRY_COMPARE_WITH_TIMEOUT(WebFixture::eval(*window, QStringLiteral("window.pageName")).toString(),
                              QStringLiteral("remote"), 10000);
    QSignalSpy loaded(window->page()->mainFrame(), &QWebFrame::loadFinished);
    QTRY_VERIFY_WITH_TIMEOUT(loaded.count() > 0
                                     || WebFixture::eval(*window, QStringLiteral("document.readyState"))
                                                == QLatin1String("complete"),
                             10000);
    QTest::qWait(100);
    QCOMPARE(WebFixture::eval(*window, QStringLiteral("typeof _Bridge_")).toString(),
             QStringLiteral("undefined"));
    QCOMPARE(WebFixture::eval(*window, QStringLiteral("typeof Bridge")).toString(),
             QStringLiteral("undefined"));
    QVERIFY(!window->page()->history()->canGoBack());
    load(QUrl(QStringLiteral("qrc:/web/index.html")), QStringLiteral("index"), false);
}

void TestWebView::localFileGetsHost()
{
    const QString path = TestEnv::root() + QStringLiteral("/local page.html");
    QFile page(path);
    QVERIFY(page.open(QIODevice::WriteOnly));
    page.write("<html><body><script>window.pageName = 'local';</script></body></html>");
    page.close();
    // Pages of the bundle may not open local files; the user's own may.
    load(QUrl::fromLocalFile(path), QStringLiteral("local"), false);
    load(QUrl(QStringLiteral("qrc:/web/index.html")), QStringLiteral("index"), false);
}

void TestWebView::consoleMessagesForwarded()
{
    QSignalSpy messages(window->page(), &QWebPageEx::consoleMessage);
    const QString log = window->bridge()->getTempLocation() + QStringLiteral("/conmsg.log");
    const qint64 before = QFileInfo(log).size();
    WebFixture::eval(*window, QStringLiteral("console.log('hello %1 from the page');"));
    QCOMPARE(messages.count(), 1);
    QCOMPARE(messages.first().at(0).toString(), QStringLiteral("hello %1 from the page"));
    // Handed to the bridge queued: the log grows only once the loop runs.
    QCOMPARE(QFileInfo(log).size(), before);
    QTRY_VERIFY(QFileInfo(log).size() > before);
}

void TestWebView::unverifiedCertificateStillLoads()
{
    if (!QSslSocket::supportsSsl())
        QFAIL("this Qt has no TLS support");
    const QString certPath = TestEnv::root() + QStringLiteral("/cert.pem");
    const QString keyPath = TestEnv::root() + QStringLiteral("/key.pem");
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"),
                  { "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=untrusted.invalid",
                    "-days", "1", "-keyout", keyPath, "-out", certPath });
    QVERIFY2(openssl.waitForFinished(30000) && openssl.exitCode() == 0, "openssl could not make a certificate");
    QFile certFile(certPath), keyFile(keyPath);
    QVERIFY(certFile.open(QIODevice::ReadOnly) && keyFile.open(QIODevice::ReadOnly));
    const QSslCertificate cert(&certFile, QSsl::Pem);
    const QSslKey key(&keyFile, QSsl::Rsa, QSsl::Pem);
    QVERIFY(!cert.isNull() && !key.isNull());

    TinyHttpServer server(QStringLiteral("tls"), cert, key);
    QVERIFY(server.listen(QHostAddress::LocalHost, 0));
    window->webView()->load(QUrl(QStringLiteral("https://127.0.0.1:%1/").arg(server.serverPort())));
    QTRY_COMPARE_WITH_TIMEOUT(WebFixture::eval(*window, QStringLiteral("window.pageName")).toString(),
                              QStringLiteral("tls"), 15000);
    load(QUrl(QStringLiteral("qrc:/web/index.html")), QStringLiteral("index"), false);
}

QUILLARY_TEST_MAIN(TestWebView)
#include "tst_webview.moc"
