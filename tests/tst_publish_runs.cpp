#include "testmain.h"

#include <QElapsedTimer>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <QUrl>

#include <memory>

#include <csignal>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include "bridge.h"
#include "floodserver.h"
#include "publishtestutil.h"
#include "testservers.h"

using namespace PublishTest;

namespace {

const int localKind = -1;

// What the page is told during a run, in order, as script texts. Errors are
// answered the way the page's "Ignore Errors" does: resume at once.
class Page : public QObject
{
public:
    explicit Page(Bridge *bridge, bool resumes = true)
        : bridge(bridge)
        , resumeOnError(resumes)
    {
        connect(bridge, &Bridge::jsChanged, this, [this](const QString &call) {
            calls << call;
            if (resumeOnError && call.startsWith(QLatin1String("Bridge._fmError(")))
                QTimer::singleShot(0, this, [this]() { this->bridge->resumePublish(); });
        });
    }
    QStringList starting(const QString &prefix) const
    {
        QStringList out;
        for (const QString &call : calls)
            if (call.startsWith(prefix))
                out << call;
        return out;
    }
    bool closed() const { return !starting(QStringLiteral("Bridge._fmClose(")).isEmpty(); }

    Bridge *bridge;
    bool resumeOnError;
    QStringList calls;
};

// Counts the ticks of a short timer on the GUI thread and the longest gap
// between two of them: a window that blocks shows as a long gap.
class Heartbeat : public QObject
{
public:
    Heartbeat()
    {
        clock.start();
        connect(&timer, &QTimer::timeout, this, [this]() {
            longest = qMax(longest, clock.restart());
            ++ticks;
        });
        timer.start(20);
    }
    QTimer timer;
    QElapsedTimer clock;
    qint64 longest = 0;
    int ticks = 0;
};

QString rawUrl(const TestServer &s, const QString &folder, const QString &password)
{
    return s.scheme() + QStringLiteral("://") + s.user() + QLatin1Char(':') + password + QStringLiteral("@")
        + s.host() + QLatin1Char(':') + QString::number(s.port()) + QLatin1Char('/') + folder;
}

} // namespace

// Publishing runs whose server, disk or sources misbehave: what the page is
// told must be what happened, and the window must never wait for a server.
class TestPublishRuns : public QObject
{
    Q_OBJECT

    QTemporaryDir sources;
    TestServerPool pool;

    TestServer *server(int kind)
    {
        QString error;
        TestServer *s = pool.get(TestServer::Kind(kind), &error);
        if (!s)
            qWarning("%s", qPrintable(error));
        return s;
    }

private slots:
    void initTestCase()
    {
        QVERIFY(sources.isValid());
        QVERIFY(writeFile(sources.path() + "/page.html", "<p>page</p>"));
    }

    // A typed folder goes where it says, whatever characters it holds, and
    // _fmClose names the run's destination, never the last folder made.
    void literalDestination_data()
    {
        QTest::addColumn<int>("kind");
        QTest::addColumn<QString>("folder");
        const QStringList folders { "dest #1/x", "dest?q=1/x", "%41/b", "a%20b/x", "my site/x" };
        for (int kind : { int(TestServer::PyFtp), int(TestServer::Sftp), localKind }) {
            const QString name = kind == localKind ? QStringLiteral("local") : TestServer::kindName(TestServer::Kind(kind));
            for (const QString &folder : folders)
                QTest::addRow("%s %s", qPrintable(name), qPrintable(folder)) << kind << folder;
        }
    }
    void literalDestination()
    {
        QFETCH(int, kind);
        QFETCH(QString, folder);
        QTemporaryDir local;
        TestServer *s = kind == localKind ? nullptr : server(kind);
        QVERIFY(kind == localKind || s);
        const QString top = s ? s->rootFolder() : local.path();
        // As the page forms them: a fully encoded file URL, or the server's
        // parts joined with the folder as typed.
        const QString url = s ? rawUrl(*s, folder, s->password())
                              : QUrl::fromLocalFile(local.path() + "/" + folder).toString(QUrl::FullyEncoded);
        Bridge bridge;
        Page page(&bridge);
        QVERIFY(bridge.initFileManager(url));
        bridge.uploadFile("sub/page.html", sources.path() + "/page.html");
        bridge.uploadData("index.html", QString("home"));
        bridge.closeFileManager();
        QTRY_VERIFY_WITH_TIMEOUT(page.closed(), 60000);
        QVERIFY2(page.starting("Bridge._fmError(").isEmpty(), qPrintable(page.starting("Bridge._fmError(").join('\n')));
        QCOMPARE(readAll(top + "/" + folder + "/index.html"), QByteArray("home"));
        QCOMPARE(readAll(top + "/" + folder + "/sub/page.html"), QByteArray("<p>page</p>"));
        const QString close = page.starting("Bridge._fmClose(").first();
        if (s) {
            const QString dest = s->scheme() + "://" + s->user() + "@" + s->host() + ":" + QString::number(s->port())
                + "/" + folder;
            QCOMPARE(close, "Bridge._fmClose(\"" + jsEscape(dest) + "\")");
            QVERIFY(!close.contains(s->password()));
        } else {
            QVERIFY(close.size() > QStringLiteral("Bridge._fmClose(\"\")").size());
        }
    }

    // A wrong password is one failure: one error, then the run ends with
    // nothing more started, and the server sees one refused log-in, not 1,500
    // (nor three: a refused password is never sent again).
    void wrongPasswordOneError_data()
    {
        QTest::addColumn<int>("kind");
        for (int kind : { int(TestServer::PyFtp), int(TestServer::VsftpdExplicit), int(TestServer::Sftp) })
            QTest::newRow(qPrintable(TestServer::kindName(TestServer::Kind(kind)))) << kind;
    }
    void wrongPasswordOneError()
    {
        QFETCH(int, kind);
        TestServer *s = server(kind);
        QVERIFY(s);
        const int loginsBefore = s->failedLogins();
        Bridge bridge;
        Page page(&bridge);
        QVERIFY(bridge.initFileManager(rawUrl(*s, "site", "wrong")));
        for (int i = 0; i < 500; ++i)
            bridge.uploadFile(QString("dir%1/page%2.html").arg(i % 7).arg(i), sources.path() + "/page.html");
        bridge.closeFileManager();
        QTRY_VERIFY_WITH_TIMEOUT(page.closed(), 60000);
        QCOMPARE(page.starting("Bridge._fmError(").size(), 1);
        QVERIFY(page.starting("Bridge._fmError(").first().contains("User, password or similar was not accepted"));
        QVERIFY(page.starting("Bridge._fmUploaded(").isEmpty());
        QVERIFY(page.starting("Bridge._fmFile(").size() <= 1);
        // Ended as not completed: the page lists every file it never saw start.
        QCOMPARE(page.starting("Bridge._fmClose("), QStringList("Bridge._fmClose(\"\")"));
        QTRY_COMPARE_WITH_TIMEOUT(s->failedLogins() - loginsBefore, 1, 5000);
        QTest::qWait(300);
        QCOMPARE(s->failedLogins() - loginsBefore, 1);
    }

    // A frozen server: the first error comes within one stall time-out, and
    // closing the run, cancelling it or closing the program returns at once
    // while the window keeps running.
    void frozenServer_data()
    {
        QTest::addColumn<QString>("how");
        QTest::addColumn<int>("kind");
        for (int kind : { int(TestServer::PyFtp), int(TestServer::Sftp) }) {
            const QByteArray name = TestServer::kindName(TestServer::Kind(kind)).toLatin1();
            QTest::addRow("%s, closeFileManager, connection idle", name.constData()) << "close idle" << kind;
            QTest::addRow("%s, closeFileManager", name.constData()) << "close" << kind;
            QTest::addRow("%s, exitPublish", name.constData()) << "exit" << kind;
            QTest::addRow("%s, program closes", name.constData()) << "destroy" << kind;
        }
    }
    void frozenServer()
    {
        QFETCH(QString, how);
        QFETCH(int, kind);
        qputenv("QUILLARY_STALL_TIMEOUT", "3");
        TestServer frozen{TestServer::Kind(kind)};
        QVERIFY2(frozen.start(), qPrintable(frozen.errorString()));
        auto bridge = std::make_unique<Bridge>();
        Page page(bridge.get(), false);
        QVERIFY(bridge->initFileManager(frozen.url("/site").toString()));
        bridge->uploadFile("one.html", sources.path() + "/page.html");
        QTRY_VERIFY_WITH_TIMEOUT(!page.starting("Bridge._fmUploaded(").isEmpty(), 30000);
        QVERIFY(frozen.sendSignalToAll(SIGSTOP));

        Heartbeat beat;
        if (how == QLatin1String("close idle")) {
            // The connection waits in the library's cache; ending it says good-bye.
            QElapsedTimer call;
            call.start();
            bridge->closeFileManager();
            QVERIFY2(call.elapsed() < 1000, qPrintable(QString::number(call.elapsed())));
            QTRY_VERIFY_WITH_TIMEOUT(page.closed(), 15000);
            QTest::qWait(4000);   // past the reply time-out the worker waits out
            QVERIFY2(beat.longest < 1000, qPrintable(QString::number(beat.longest)));
            frozen.sendSignalToAll(SIGCONT);
            qunsetenv("QUILLARY_STALL_TIMEOUT");
            return;
        }
        QElapsedTimer waited;
        waited.start();
        bridge->uploadData("two.html", QString("two"));
        QTRY_VERIFY_WITH_TIMEOUT(!page.starting("Bridge._fmError(").isEmpty(), 30000);
        // One stall time-out (3 s here), not five attempts of it.
        QVERIFY2(waited.elapsed() < 8000, qPrintable(QString::number(waited.elapsed())));
        QCOMPARE(page.starting("Bridge._fmError(").size(), 1);
        QVERIFY(page.starting("Bridge._fmError(").first().contains("two.html"));

        // Paused by the error; one more transfer is sent and freezes in flight.
        bridge->resumePublish();
        bridge->uploadData("three.html", QString(200000, QLatin1Char('x')));
        QTRY_VERIFY_WITH_TIMEOUT(!page.starting("Bridge._fmFile('three.html')").isEmpty(), 10000);
        QElapsedTimer call;
        call.start();
        if (how == QLatin1String("close"))
            bridge->closeFileManager();
        else if (how == QLatin1String("exit"))
            bridge->exitPublish();
        else
            bridge.reset();
        QVERIFY2(call.elapsed() < 1000, qPrintable(QString::number(call.elapsed())));
        // The transfer in flight may still fail; the page answers as it would.
        page.resumeOnError = true;
        if (bridge)
            QTRY_VERIFY_WITH_TIMEOUT(page.closed(), 15000);
        else
            QTest::qWait(1500);
        QVERIFY2(beat.longest < 1000, qPrintable(QString::number(beat.longest)));
        QVERIFY(beat.ticks > 10);
        frozen.sendSignalToAll(SIGCONT);
        qunsetenv("QUILLARY_STALL_TIMEOUT");
    }

    // An SFTP "server" that talks without end, with lines that are no
    // greeting or with packets that never bring the key exchange: libssh2
    // never returns to the client by itself. Cancel ends the run at once, and
    // left alone the run fails at the stall time-out, without a second try.
    void floodingServer_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("how");
        for (int mode : { int(FloodServer::Lines), int(FloodServer::SshPackets) }) {
            const char *name = mode == FloodServer::Lines ? "lines without a greeting" : "packets without end";
            QTest::addRow("%s, exitPublish", name) << mode << "exit";
            QTest::addRow("%s, stall time-out", name) << mode << "stall";
        }
    }
    void floodingServer()
    {
        QFETCH(int, mode);
        QFETCH(QString, how);
        qputenv("QUILLARY_STALL_TIMEOUT", "3");
        FloodServer flood { FloodServer::Mode(mode) };
        QVERIFY(flood.isListening());
        Bridge bridge;
        Page page(&bridge, false);
        QVERIFY(bridge.initFileManager(QString("sftp://someone:pw@127.0.0.1:%1/site").arg(flood.port())));
        bridge.uploadData("one.html", QString("one"));
        QTRY_VERIFY_WITH_TIMEOUT(flood.connections() == 1, 5000);
        Heartbeat beat;
        QElapsedTimer waited;
        waited.start();
        if (how == QLatin1String("exit")) {
            QTest::qWait(300);
            waited.start();
            bridge.exitPublish();
            QTRY_VERIFY_WITH_TIMEOUT(page.closed(), 3000);
            QVERIFY2(waited.elapsed() < 2000, qPrintable(QString::number(waited.elapsed())));
            QCOMPARE(page.starting("Bridge._fmClose("), QStringList("Bridge._fmClose(\"\")"));
        } else {
            QTRY_VERIFY_WITH_TIMEOUT(!page.starting("Bridge._fmError(").isEmpty(), 10000);
            QVERIFY2(waited.elapsed() < 6000, qPrintable(QString::number(waited.elapsed())));
            QCOMPARE(page.starting("Bridge._fmError(").size(), 1);
            bridge.exitPublish();
            QTRY_VERIFY_WITH_TIMEOUT(page.closed(), 3000);
        }
        QVERIFY(page.starting("Bridge._fmUploaded(").isEmpty());
        QCOMPARE(flood.connections(), 1);
        QVERIFY2(beat.longest < 1000, qPrintable(QString::number(beat.longest)));
        qunsetenv("QUILLARY_STALL_TIMEOUT");
    }

    // A source of 2 GiB or more cannot be held for sending: it is reported
    // as failed, by name, and nothing is left that claims to be uploaded.
    void hugeSource_data()
    {
        QTest::addColumn<int>("kind");
        QTest::newRow("local") << localKind;
        QTest::newRow("pyftpd") << int(TestServer::PyFtp);
    }
    void hugeSource()
    {
        QFETCH(int, kind);
        const QString huge = sources.path() + "/huge.bin";
        {
            QFile f(huge);
            QVERIFY(f.open(QIODevice::WriteOnly));
            QVERIFY(f.resize(qint64(2200) * 1000 * 1000));   // sparse: no disk used
        }
        QTemporaryDir local;
        TestServer *s = kind == localKind ? nullptr : server(kind);
        QVERIFY(kind == localKind || s);
        const QString top = (s ? s->rootFolder() : local.path()) + "/huge";
        Bridge bridge;
        Page page(&bridge);
        QVERIFY(bridge.initFileManager(s ? rawUrl(*s, "huge", s->password())
                                         : QUrl::fromLocalFile(top).toString(QUrl::FullyEncoded)));
        bridge.uploadFile("huge.bin", huge);
        bridge.uploadFile("after.html", sources.path() + "/page.html");
        bridge.closeFileManager();
        QTRY_VERIFY_WITH_TIMEOUT(page.closed(), 60000);
        QFile::remove(huge);
        QCOMPARE(page.starting("Bridge._fmError(").size(), 1);
        const QString error = page.starting("Bridge._fmError(").first();
        QVERIFY2(error.contains("too large") && error.contains("huge.bin"), qPrintable(error));
        QCOMPARE(page.starting("Bridge._fmUploaded("), QStringList("Bridge._fmUploaded(\"after.html\")"));
        QVERIFY(!QFile::exists(top + "/huge.bin"));
        QCOMPARE(readAll(top + "/after.html"), QByteArray("<p>page</p>"));
    }

    // A local publish into a file system that fills up: every file that did
    // not reach the disk whole is reported by name, none as uploaded, and
    // nothing short is left behind.
    void fullDisk()
    {
        QTemporaryDir place;
        const QString mountPoint = place.path() + "/small";
        QVERIFY(QDir().mkpath(mountPoint));
        {
            TestEnv::RootScope root;
            QVERIFY2(root.ok(), "mounting the small file system needs a test run started as root");
            // A mount of this process's own, gone when it ends.
            QVERIFY2(::unshare(CLONE_NEWNS) == 0, strerror(errno));
            QVERIFY(::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0);
            const QByteArray options = "size=256k,mode=0755,uid=65534,gid=65534";
            QVERIFY2(::mount("quillary-full", QFile::encodeName(mountPoint).constData(), "tmpfs", 0,
                             options.constData()) == 0,
                     strerror(errno));
        }
        const int count = 60;
        const QByteArray body(12 * 1024, 'b');
        for (int i = 0; i < count; ++i)
            QVERIFY(writeFile(QString("%1/full/f%2.html").arg(sources.path()).arg(i), body + QByteArray::number(i)));
        Bridge bridge;
        Page page(&bridge);
        QVERIFY(bridge.initFileManager(QUrl::fromLocalFile(mountPoint + "/site").toString(QUrl::FullyEncoded)));
        for (int i = 0; i < count; ++i)
            bridge.uploadFile(QString("p/f%1.html").arg(i), QString("%1/full/f%2.html").arg(sources.path()).arg(i));
        bridge.closeFileManager();
        QTRY_VERIFY_WITH_TIMEOUT(page.closed(), 60000);

        const QStringList errors = page.starting("Bridge._fmError(");
        QVERIFY(!errors.isEmpty());
        int uploaded = 0;
        for (int i = 0; i < count; ++i) {
            const QString dest = QString("p/f%1.html").arg(i);
            const bool reported = page.calls.contains("Bridge._fmUploaded(\"" + dest + "\")");
            const QString onDisk = mountPoint + "/site/" + dest;
            if (reported) {
                ++uploaded;
                QCOMPARE(readAll(onDisk), body + QByteArray::number(i));
            } else {
                // Not there at all, and its failure named it.
                QVERIFY2(!QFile::exists(onDisk), qPrintable(onDisk));
                int naming = 0;
                for (const QString &e : errors)
                    naming += e.contains("Error writing to file") && e.contains("/" + dest + "\"") ? 1 : 0;
                QVERIFY2(naming == 1, qPrintable(dest + "\n" + errors.join('\n')));
            }
        }
        QVERIFY(uploaded > 0);
        QCOMPARE(uploaded + errors.size(), count);
        {
            TestEnv::RootScope root;
            ::umount(QFile::encodeName(mountPoint).constData());
        }
    }

    // An upload into a folder the SFTP user may not write names the refusal.
    void sftpPermission()
    {
        TestServer *s = server(TestServer::Sftp);
        QVERIFY(s);
        const QString locked = s->rootFolder() + "/locked";
        {
            TestEnv::RootScope root;
            QVERIFY(QDir().mkpath(locked));
            QVERIFY(QFile::setPermissions(locked, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner
                                                      | QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther
                                                      | QFile::ExeOther));
        }
        Bridge bridge;
        Page page(&bridge);
        QVERIFY(bridge.initFileManager(rawUrl(*s, "locked", s->password())));
        bridge.uploadData("page.html", QString("x"));
        bridge.closeFileManager();
        QTRY_VERIFY_WITH_TIMEOUT(page.closed(), 60000);
        QCOMPARE(page.starting("Bridge._fmError("),
                 QStringList("Bridge._fmError(\"Permission problem on server<br>/locked/page.html\");"));
    }
};

QUILLARY_TEST_MAIN(TestPublishRuns)
#include "tst_publish_runs.moc"
