#include "testmain.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>
#include <QTimer>

#include "resourcebundle.h"
#include "singleinstance.h"
#include "webfixture.h"

// The real program against a window of this process: the window runs the server,
// the program is started as the later instance.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void serverIsPrivate();
    void secondStartForwardsPath();
    void forwardedPathIsTextNotScript_data();
    void forwardedPathIsTextNotScript();
    void emptyMessageIsIgnored();
    void secondStartWithoutPathOpensWindow();
    void staleSocketAfterKill();
    void linkedBundleHoldsWebFolder();   // last: it registers the real page over the test page

private:
    QStringList received();
    bool sendRaw(const QByteArray &bytes);

    MainWindow *window = nullptr;
    const QString program = QStringLiteral(QUILLARY_BINARY_DIR "/quillary");
};

void TestStartup::initTestCase()
{
    QVERIFY(QFileInfo(program).isExecutable());
    QVERIFY(WebFixture::registerTestBundle());
    window = new MainWindow(true);
    window->show();
    QVERIFY(window->localServer());
    QVERIFY(WebFixture::waitForPage(*window));
}

void TestStartup::cleanupTestCase()
{
    delete window;
}

void TestStartup::init()
{
    WebFixture::recordLoadRequests(*window);
    WebFixture::eval(*window, QStringLiteral("window.pwned = false;"));
}

QStringList TestStartup::received()
{
    return WebFixture::loadRequests(*window);
}

bool TestStartup::sendRaw(const QByteArray &bytes)
{
    QLocalSocket socket;
    if (!SingleInstance::probe(&socket, 2000))
        return false;
    SingleInstance::send(&socket, bytes);
    return true;
}

void TestStartup::serverIsPrivate()
{
    const QString name = SingleInstance::serverName();
    QVERIFY(name.startsWith(TestEnv::root()));   // in this user's runtime folder
    QCOMPARE(window->localServer()->fullServerName(), name);
    const QFile::Permissions perms = QFileInfo(name).permissions();
    QVERIFY(!(perms & (QFile::ReadGroup | QFile::WriteGroup | QFile::ReadOther | QFile::WriteOther)));
}

void TestStartup::secondStartForwardsPath()
{
    const QString folder = TestEnv::root() + QStringLiteral("/my sites/it's a \"site\"");
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/project.quillary");

    QProcess second;
    second.start(program, { path, QStringLiteral("/not/forwarded.quillary") });
    QVERIFY(second.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 5000);
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(received().size(), 1, 5000);
    const QString url = received().first();
    QCOMPARE(url, QUrl::fromLocalFile(path).toString());
    QCOMPARE(QUrl(url).toLocalFile(), path);
    QTest::qWait(200);
    QCOMPARE(received().size(), 1);   // the second argument did not follow
}

void TestStartup::forwardedPathIsTextNotScript_data()
{
    QTest::addColumn<QString>("path");
    QTest::newRow("apostrophe") << QStringLiteral("/sites/Anna's site/project.quillary");
    QTest::newRow("backslash") << QStringLiteral("/sites/back\\slash\\'/p.quillary");
    QTest::newRow("line feed") << QStringLiteral("/sites/two\nlines/p.quillary");
    QTest::newRow("carriage return") << QStringLiteral("/sites/cr\r/p.quillary");
    QTest::newRow("script") << QStringLiteral("/x');window.pwned=true;//");
    QTest::newRow("double quote script") << QStringLiteral("/x\");window.pwned=true;//");
    QTest::newRow("line separator") << QStringLiteral("/a\u2028b\u2029c/\u00e9.quillary");
}

void TestStartup::forwardedPathIsTextNotScript()
{
    QFETCH(QString, path);
    QVERIFY(sendRaw(path.toUtf8()));
    QTRY_COMPARE_WITH_TIMEOUT(received().size(), 1, 5000);
    QCOMPARE(received().first(), QUrl::fromLocalFile(path).toString());
    QCOMPARE(QUrl(received().first()).toLocalFile(), path);
    QCOMPARE(WebFixture::eval(*window, QStringLiteral("window.pwned")).toBool(), false);
}

void TestStartup::emptyMessageIsIgnored()
{
    QVERIFY(sendRaw(QByteArray()));
    QVERIFY(sendRaw(QByteArrayLiteral("/after/empty.quillary")));
    QTRY_COMPARE_WITH_TIMEOUT(received().size(), 1, 5000);
    QCOMPARE(received().first(), QStringLiteral("file:///after/empty.quillary"));
}

void TestStartup::secondStartWithoutPathOpensWindow()
{
    QProcess second;
    second.setProcessChannelMode(QProcess::ForwardedChannels);
    second.start(program, QStringList());
    QVERIFY(second.waitForStarted(5000));

    // While the second window holds its silent connection open, this window keeps
    // serving events and scripts.
    QElapsedTimer clock;
    clock.start();
    int ticks = 0;
    QTimer timer;
    connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(50);
    QTest::qWait(3000);
    QVERIFY2(ticks >= 40, qPrintable(QStringLiteral("only %1 timer ticks in 3 s").arg(ticks)));
    QCOMPARE(WebFixture::eval(*window, QStringLiteral("6 * 7")).toInt(), 42);
    QCOMPARE(second.state(), QProcess::Running);   // a full window, not a forwarder
    QCOMPARE(received(), QStringList());

    // This window still owns the server: a path still arrives here.
    QVERIFY(sendRaw(QByteArrayLiteral("/still/here.quillary")));
    QTRY_COMPARE_WITH_TIMEOUT(received(), QStringList{ QStringLiteral("file:///still/here.quillary") }, 5000);

    second.kill();
    QVERIFY(second.waitForFinished(5000));
}

void TestStartup::staleSocketAfterKill()
{
    // Programs of their own, with a runtime folder this window does not use.
    const QString runtime = TestEnv::root() + QStringLiteral("/runtime-kill");
    QVERIFY(QDir().mkpath(runtime));
    QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    const QString socketPath = runtime + QStringLiteral("/QuillaryServer");

    QProcess first;
    first.setProcessEnvironment(env);
    first.start(program, QStringList());
    QVERIFY(first.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(socketPath), 10000);
    first.kill();   // SIGKILL: the socket file stays behind
    QVERIFY(first.waitForFinished(5000));
    QVERIFY(QFileInfo::exists(socketPath));

    QProcess next;
    next.setProcessEnvironment(env);
    next.start(program, QStringList());
    QVERIFY(next.waitForStarted(5000));

    // The next start serves: a forwarder reaches it and ends at once with 0.
    bool served = false;
    for (int attempt = 0; attempt < 50 && !served; ++attempt) {
        QTest::qWait(200);
        QLocalSocket probe;
        probe.connectToServer(socketPath);
        served = probe.waitForConnected(500);
    }
    QVERIFY(served);
    QProcess forwarder;
    forwarder.setProcessEnvironment(env);
    forwarder.start(program, { QStringLiteral("/some/project.quillary") });
    QVERIFY(forwarder.waitForFinished(10000));
    QCOMPARE(forwarder.exitCode(), 0);
    QCOMPARE(next.state(), QProcess::Running);

    next.kill();
    QVERIFY(next.waitForFinished(5000));
}

void TestStartup::linkedBundleHoldsWebFolder()
{
    QVERIFY(registerWebBundle());
    const QString web = QStringLiteral(QUILLARY_SOURCE_DIR "/web");
    const QString testWeb = QStringLiteral(QUILLARY_SOURCE_DIR "/tests/data/testbundle/web");
    QDirIterator it(web, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    int compared = 0;
    while (it.hasNext()) {
        const QString path = it.next();
        const QString rel = QDir(web).relativeFilePath(path);
        if (QFileInfo::exists(testWeb + QLatin1Char('/') + rel))
            continue;   // the test page of the same name may answer first
        QFile source(path), linked(QStringLiteral(":/web/") + rel);
        QVERIFY2(linked.open(QIODevice::ReadOnly), qPrintable(rel));
        QVERIFY(source.open(QIODevice::ReadOnly));
        QCOMPARE(linked.readAll(), source.readAll());
        ++compared;
    }
    QVERIFY(QFile::exists(QStringLiteral(":/web/index.html")));
    QVERIFY(QFile::exists(QStringLiteral(":/oldbridge.js")));
    QVERIFY(QFile::exists(QStringLiteral(":/icons/quillary-128.png")));
    qDebug() << compared << "bundle files compared";
}

QUILLARY_TEST_MAIN(TestStartup)
#include "tst_startup.moc"
