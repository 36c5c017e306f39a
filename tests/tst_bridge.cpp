#include "testmain.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTimer>

#include "bridge.h"
#include "messagelog.h"
#include "miscutils.h"

namespace {

// Runs `step` inside a real event loop and returns the loop's exit code:
// 0 when the step quit it, `notQuit` when the loop went on to its next event.
// The loop is ended after five seconds at the latest; timers left over from
// one run die with its context and never reach the next.
int runLoop(const std::function<void()> &step, int notQuit = 5)
{
    QObject context;
    QTimer::singleShot(0, &context, [&] {
        step();
        QTimer::singleShot(0, &context, [notQuit] { QCoreApplication::exit(notQuit); });
    });
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(-1); });
    guard.start(5000);
    return QCoreApplication::exec();
}

} // namespace

class TestBridge : public QObject
{
    Q_OBJECT

private slots:
    void closeProtocol();
    void stopQuitResets();
    void closeOnlySignals();
    void args();
    void errorProperty();
    void folders();
    void signalsPassedOn();
    void resourceBundle();
};

void TestBridge::closeProtocol()
{
    Bridge bridge;
    QSignalSpy closes(&bridge, &Bridge::onClose);
    QCOMPARE(runLoop([&] { bridge.prepareToClose(); }), 5);
    QCOMPARE(closes.count(), 1);
    QCOMPARE(runLoop([&] { bridge.prepareToClose(); }), 5);
    QCOMPARE(closes.count(), 2);
    // The third request ends the loop with 0, and the page still hears of it.
    QCOMPARE(runLoop([&] { bridge.prepareToClose(); }), 0);
    QCOMPARE(closes.count(), 3);
    // Without stopQuit, every later request ends it too.
    QCOMPARE(runLoop([&] { bridge.prepareToClose(); }), 0);
    QCOMPARE(closes.count(), 4);
}

void TestBridge::stopQuitResets()
{
    Bridge bridge;
    QSignalSpy closes(&bridge, &Bridge::onClose);
    QCOMPARE(runLoop([&] {
                 bridge.prepareToClose();
                 bridge.prepareToClose();
                 bridge.stopQuit();
                 bridge.prepareToClose();
                 bridge.prepareToClose();
             }),
             5);
    QCOMPARE(closes.count(), 4);
    QCOMPARE(runLoop([&] { bridge.prepareToClose(); }), 0);
    QCOMPARE(closes.count(), 5);
    // quit itself ends the loop with 0 at any count.
    bridge.stopQuit();
    QCOMPARE(runLoop([&] { bridge.quit(); }), 0);
}

void TestBridge::closeOnlySignals()
{
    Bridge bridge;
    QSignalSpy closes(&bridge, &Bridge::onClose);
    QSignalSpy closable(&bridge, &Bridge::canBeClosed);
    QCOMPARE(runLoop([&] {
                 for (int i = 0; i < 5; ++i)
                     bridge.close();
                 bridge.prepareToClose();
                 bridge.prepareToClose();
             }),
             5);
    QCOMPARE(closable.count(), 5);
    QCOMPARE(closes.count(), 2);
}

void TestBridge::args()
{
    Bridge bridge;
    const QString json = bridge.getArgs();
    const QStringList args = QCoreApplication::arguments();
    QStringList quoted;
    for (const QString &arg : args)
        quoted << QLatin1Char('"') + arg + QLatin1Char('"');
    QCOMPARE(json, QStringLiteral("[ ") + quoted.join(QStringLiteral(", ")) + QStringLiteral(" ]"));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(json.toUtf8(), &error);
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(doc.array().toVariantList(), QVariant(args).toList());
}

void TestBridge::errorProperty()
{
    Bridge bridge;
    QSignalSpy changes(&bridge, &Bridge::errorChanged);
    QCOMPARE(bridge.error(), QString());
    bridge.setError(QStringLiteral("Could not connect"));
    QCOMPARE(bridge.error(), QStringLiteral("Could not connect"));
    QCOMPARE(bridge.property("error").toString(), QStringLiteral("Could not connect"));
    QVERIFY(bridge.setProperty("error", QStringLiteral("second")));
    QCOMPARE(bridge.error(), QStringLiteral("second"));
    QCOMPARE(changes.count(), 0);
}

void TestBridge::folders()
{
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
        + QStringLiteral("/projectData/");
    QString temp;
    {
        Bridge bridge;
        QCOMPARE(bridge.projectDataLocation(), data);
        QVERIFY(QFileInfo(data).isDir());
        QVERIFY(data.startsWith(TestEnv::root()));
        temp = bridge.getTempLocation();
        QVERIFY(!temp.isEmpty());
        QVERIFY(temp.startsWith(TestEnv::root()));
        QVERIFY(QDir().mkpath(temp + QStringLiteral("/run/sub")));
        QFile file(temp + QStringLiteral("/run/sub/conmsg.log"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("x");
    }
    QVERIFY(!QFileInfo::exists(temp));
    QVERIFY(QFileInfo(data).isDir());   // the project data stays
}

void TestBridge::signalsPassedOn()
{
    Bridge bridge;
    QSignalSpy drops(&bridge, &Bridge::onDropFiles);
    QSignalSpy reloads(&bridge, &Bridge::needReload);
    const QString files = QStringLiteral("[ \"file:///a%20b.png\", \"file:///c.jpg\" ]");
    bridge.emitDropFiles(files);
    QCOMPARE(drops.count(), 1);
    QCOMPARE(drops.at(0).at(0).toString(), files);
    bridge.reloadWeb();
    QCOMPARE(reloads.count(), 1);
}

void TestBridge::resourceBundle()
{
    QTemporaryDir dir(TestEnv::root() + QStringLiteral("/rcc XXXXXX"));
    QVERIFY(dir.isValid());
    const QString bundle = dir.path() + QStringLiteral("/bundle #1.rcc");
    QProcess rcc;
    rcc.setWorkingDirectory(QStringLiteral(QUILLARY_SOURCE_DIR "/tests/data"));
    rcc.start(QStringLiteral("/usr/lib/qt5/bin/rcc"),
              { QStringLiteral("--binary"), QStringLiteral("bundle.qrc"), QStringLiteral("-o"), bundle });
    QVERIFY(rcc.waitForFinished(30000));
    QCOMPARE(rcc.exitCode(), 0);
    QVERIFY(QFileInfo(bundle).size() > 0);

    const QString resource = QStringLiteral(":/quillary-test-bundle/bundle.txt");
    QVERIFY(!QFile::exists(resource));
    Bridge bridge;
    const QString url = localPathToUrl(bundle);
    {
        MessageLog log;
        bridge.registerRcc(url);
        QCOMPARE(log.messages(), QStringList(url + QStringLiteral(" > true")));
    }
    QFile file(resource);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("from a registered bundle\n"));

    MessageLog log;
    bridge.registerRcc(localPathToUrl(dir.path() + QStringLiteral("/missing.rcc")));
    QCOMPARE(log.messages().size(), 1);
    QVERIFY(log.messages().at(0).endsWith(QLatin1String(" > false")));
}

QUILLARY_TEST_MAIN(TestBridge)
#include "tst_bridge.moc"
