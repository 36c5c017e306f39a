#include "testmain.h"

#include <QElapsedTimer>
#include <QProcess>

#include <csignal>
#include <sys/stat.h>
#include <unistd.h>

#include "filesizecap.h"
#include "floodserver.h"
#include "tempfolders.h"

// How a run of the real program ends when the system ends it: a signal that
// asks it to end closes it the way the window's close button does (the page
// saves the site, the run's temporary folder goes), and what a killed run
// leaves behind is removed by the next start.
class TestEndOfRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void signalClosesLikeTheWindow_data();
    void signalClosesLikeTheWindow();
    void signalEndsARemoteCall_data();
    void signalEndsARemoteCall();
    void killedRunIsCleanedUpByTheNext();
    void removeStaleKeepsWhatIsNotItsOwn();
    void refusedMarkerKeepsTheOldOne();

private:
    // Starts the program and waits until its page has the starter site open.
    bool startProgram(QProcess &process);
    QStringList runFolders() const;
    QString starterFolder() const
    {
        return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)
                + QStringLiteral("/Quillary/My First Site");
    }

    const QString program = QStringLiteral(QUILLARY_BINARY_DIR "/quillary");
};

namespace {

bool writeMarker(const QString &folder, const QByteArray &text)
{
    QDir().mkpath(folder);
    QFile file(folder + QStringLiteral("/.quillary-owner"));
    return file.open(QIODevice::WriteOnly) && file.write(text) == text.size();
}

// The id of a process that has ended.
qint64 endedPid()
{
    QProcess done;
    done.start(QStringLiteral("/bin/true"), QStringList());
    done.waitForFinished(5000);
    return done.processId() > 0 ? done.processId() : 999999;
}

} // namespace

void TestEndOfRun::initTestCase()
{
    QVERIFY(QFileInfo(program).isExecutable());
}

QStringList TestEndOfRun::runFolders() const
{
    return QDir(QDir::tempPath()).entryList({ QStringLiteral("Quillary-*") }, QDir::Dirs | QDir::NoDotAndDotDot);
}

bool TestEndOfRun::startProgram(QProcess &process)
{
    const QString screenshot = starterFolder() + QStringLiteral("/screenshot.png");
    process.setProgram(program);
    process.start();
    if (!process.waitForStarted(5000))
        return false;
    // The first start copies the starter and saves it; later ones open it.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 20000 && !QFileInfo::exists(starterFolder() + QStringLiteral("/project.quillary")))
        QTest::qWait(100);
    QTest::qWait(2500);   // the page opens the site
    return process.state() == QProcess::Running && QFileInfo::exists(starterFolder() + QStringLiteral("/project.quillary"));
}

void TestEndOfRun::signalClosesLikeTheWindow_data()
{
    QTest::addColumn<int>("signalNumber");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

// The page hears of the close, saves the site (its screenshot too) and ends
// the program with 0; the run's temporary folder goes with it.
void TestEndOfRun::signalClosesLikeTheWindow()
{
    QFETCH(int, signalNumber);
    const QStringList before = runFolders();
    QProcess run;
    QVERIFY(startProgram(run));
    QFile::remove(starterFolder() + QStringLiteral("/screenshot.png"));
    QCOMPARE(runFolders().size(), before.size() + 1);

    QVERIFY(::kill(pid_t(run.processId()), signalNumber) == 0);
    QVERIFY2(run.waitForFinished(30000), "the program did not end");
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);
    QVERIFY(QFileInfo::exists(starterFolder() + QStringLiteral("/screenshot.png")));
    QCOMPARE(runFolders(), before);
}

void TestEndOfRun::signalEndsARemoteCall_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("mode");
    for (const char *call : { "connection test", "publishing run" }) {
        QTest::addRow("%s, sftp lines without a greeting", call) << call << int(FloodServer::Lines);
        QTest::addRow("%s, sftp packets without end", call) << call << int(FloodServer::SshPackets);
    }
}

// An SFTP "server" that talks without end holds a call inside libssh2, where
// the program's own checks never run. The program ends within a few seconds of
// the signal all the same, long before any deadline (60 s, 30 s) would.
void TestEndOfRun::signalEndsARemoteCall()
{
    QFETCH(QString, call);
    QFETCH(int, mode);
    FloodServer flood { FloodServer::Mode(mode) };
    QVERIFY(flood.isListening());
    const QString url = QStringLiteral("'sftp://someone:pw@127.0.0.1:%1/site'").arg(flood.port());
    // The connection test waits inside the page's call; the run on its worker.
    const QString script = call == QLatin1String("connection test")
            ? QStringLiteral("setTimeout(function () { _Bridge_.testFtpLocation(%1); }, 0)").arg(url)
            : QStringLiteral("_Bridge_.initFileManager(%1); _Bridge_.uploadData('index.html', 'home');").arg(url);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("QUILLARY_DRIVER_SCRIPT"), script);
    QProcess run;
    run.setProcessEnvironment(environment);
    run.start(QStringLiteral(QUILLARY_BINARY_DIR "/tests/quillary_driver"), QStringList());
    QVERIFY(run.waitForStarted(5000));
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 30000 && !run.readAllStandardOutput().contains("script started")
           && run.state() == QProcess::Running)
        run.waitForReadyRead(200);
    QTRY_VERIFY_WITH_TIMEOUT(flood.connections() == 1, 10000);
    QTest::qWait(500);   // well inside the library's reader
    QCOMPARE(run.state(), QProcess::Running);

    QVERIFY(::kill(pid_t(run.processId()), SIGTERM) == 0);
    clock.restart();
    const bool ended = run.waitForFinished(15000);
    const qint64 took = clock.elapsed();
    if (!ended) {
        run.kill();
        run.waitForFinished(5000);
    }
    QVERIFY2(ended, qPrintable(QStringLiteral("the program did not end:\n") + QString::fromLocal8Bit(run.readAllStandardError())));
    QVERIFY2(took < 5000, qPrintable(QStringLiteral("ended %1 ms after the signal").arg(took)));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);
    QCOMPARE(flood.connections(), 1);
}

// SIGKILL cannot be answered: the folder stays, and the next start removes it.
void TestEndOfRun::killedRunIsCleanedUpByTheNext()
{
    const QStringList before = runFolders();
    QProcess killed;
    QVERIFY(startProgram(killed));
    killed.kill();
    QVERIFY(killed.waitForFinished(5000));
    const QStringList left = runFolders();
    QCOMPARE(left.size(), before.size() + 1);

    QProcess next;
    QVERIFY(startProgram(next));
    const QStringList now = runFolders();
    ::kill(pid_t(next.processId()), SIGTERM);
    QVERIFY(next.waitForFinished(30000));
    QCOMPARE(now.size(), before.size() + 1);   // its own, the killed run's is gone
    for (const QString &name : left) {
        if (!before.contains(name))
            QVERIFY2(!now.contains(name), qPrintable(name));
    }
}

// Only this user's folders of ended runs are removed.
void TestEndOfRun::removeStaleKeepsWhatIsNotItsOwn()
{
    const QString temp = QDir::tempPath();
    const qint64 dead = endedPid();
    QVERIFY(writeMarker(temp + QStringLiteral("/Quillary-dead01"), QByteArray::number(dead) + " 1\n"));
    QVERIFY(writeMarker(temp + QStringLiteral("/Quillary-dead01/sub"), "x"));
    QVERIFY(writeMarker(temp + QStringLiteral("/Quillary-alive1"),
                        QByteArray::number(QCoreApplication::applicationPid()) + '\n'));
    QVERIFY(QDir().mkpath(temp + QStringLiteral("/Quillary-nomark")));
    QVERIFY(writeMarker(temp + QStringLiteral("/elsewhere"), QByteArray::number(dead) + '\n'));
    QVERIFY(QFile::link(temp + QStringLiteral("/elsewhere"), temp + QStringLiteral("/Quillary-link01")));
    QVERIFY(writeMarker(temp + QStringLiteral("/Quillary-other1"), QByteArray::number(dead) + '\n'));
    bool otherUser = false;
    {
        TestEnv::RootScope root;
        if (root.ok()) {
            const QByteArray path = QFile::encodeName(temp + QStringLiteral("/Quillary-other1"));
            otherUser = ::chown(path.constData(), 4242, 4242) == 0;
        }
    }

    QVERIFY(TempFolders::removeStale() >= 1);
    QVERIFY(!QFileInfo::exists(temp + QStringLiteral("/Quillary-dead01")));
    QVERIFY(QFileInfo::exists(temp + QStringLiteral("/Quillary-alive1/.quillary-owner")));
    QVERIFY(QFileInfo::exists(temp + QStringLiteral("/Quillary-nomark")));
    QVERIFY(QFileInfo::exists(temp + QStringLiteral("/elsewhere/.quillary-owner")));
    QVERIFY(QFileInfo(temp + QStringLiteral("/Quillary-link01")).isSymLink());
    if (otherUser)
        QVERIFY(QFileInfo::exists(temp + QStringLiteral("/Quillary-other1/.quillary-owner")));

    // The marker a run writes names this process, alive: it stays.
    QVERIFY(TempFolders::markOwner(temp + QStringLiteral("/Quillary-alive1")));
    QCOMPARE(TempFolders::removeStale(), 0);
    QVERIFY(QFileInfo::exists(temp + QStringLiteral("/Quillary-alive1")));
    {
        TestEnv::RootScope root;
        QDir(temp + QStringLiteral("/Quillary-other1")).removeRecursively();
    }
}

// A disk that takes no byte more: the owner mark is refused, and the one that
// was there stays whole, so the folder is never taken for an ended run's.
void TestEndOfRun::refusedMarkerKeepsTheOldOne()
{
    QTemporaryDir folder;
    QVERIFY(folder.isValid());
    const QString marker = folder.path() + QStringLiteral("/.quillary-owner");
    QVERIFY(writeMarker(folder.path(), "1 2\n"));
    bool marked = true;
    {
        FileSizeCap cap(0);
        QVERIFY(cap.active);
        marked = TempFolders::markOwner(folder.path());
    }
    QVERIFY(!marked);
    QFile file(marker);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), QByteArray("1 2\n"));
    QCOMPARE(QDir(folder.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList { QStringLiteral(".quillary-owner") });
    QVERIFY(TempFolders::markOwner(folder.path()));
    file.close();
    QVERIFY(file.open(QIODevice::ReadOnly));
    QVERIFY(file.readAll().startsWith(QByteArray::number(QCoreApplication::applicationPid()) + ' '));
}

QUILLARY_TEST_MAIN(TestEndOfRun)
#include "tst_endofrun.moc"
