#include "testmain.h"

#include <QElapsedTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QProcess>

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include "singleinstance.h"
#include "webfixture.h"

// The local server between starts of the program, against what other local
// users and processes can do: a relative path from another folder, a socket of
// another user where the program looks for its own, a flood of idle
// connections, and a server that Qt closed.
class TestSingleInstance : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void relativePathArrivesAbsolute_data();
    void relativePathArrivesAbsolute();
    void foreignSocketGetsNoPath_data();
    void foreignSocketGetsNoPath();
    void serverListensAgainAfterAcceptFails();
    void idleConnectionsDoNotCloseTheServer();

private:
    QStringList received();
    // Starts the program with a path and waits for it to hand the path over.
    bool forward(const QString &argument, const QString &workingFolder = QString());

    MainWindow *window = nullptr;
    const QString program = QStringLiteral(QUILLARY_BINARY_DIR "/quillary");
};

namespace {

const uid_t otherUser = 4242;

// A child process that opens count connections to the socket at path and holds
// them until it is killed. Returns its pid; the number it managed to open is
// written to *opened once known (the caller keeps its event loop running, so
// that the server it tests can accept).
pid_t holdConnections(const QByteArray &path, int count, int *resultFd)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    const pid_t child = ::fork();
    if (child != 0) {
        ::close(fds[1]);
        *resultFd = fds[0];
        return child;
    }
    ::close(fds[0]);
    rlimit limit {};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
    sockaddr_un address {};
    address.sun_family = AF_UNIX;
    qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
    int opened = 0;
    for (int i = 0; i < count; ++i) {
        const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
        if (s < 0)
            break;
        timeval timeout { 2, 0 };
        ::setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        if (::connect(s, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            ++opened;
        else
            ::close(s);
    }
    const QByteArray text = QByteArray::number(opened) + '\n';
    (void)!::write(fds[1], text.constData(), size_t(text.size()));
    for (int i = 0; i < 600; ++i)
        ::sleep(1);
    ::_exit(0);
}

// Reads a line from fd while the event loop runs, for at most timeoutMs.
QByteArray readLine(int fd, int timeoutMs)
{
    QByteArray line;
    QElapsedTimer clock;
    clock.start();
    while (!line.endsWith('\n') && clock.elapsed() < timeoutMs) {
        pollfd p { fd, POLLIN, 0 };
        if (::poll(&p, 1, 0) == 1) {
            char c;
            if (::read(fd, &c, 1) != 1)
                break;
            line += c;
        } else {
            QTest::qWait(20);
        }
    }
    return line.trimmed();
}

void endChild(pid_t child, int fd)
{
    if (child > 0) {
        {
            // The child may run as another user by now.
            TestEnv::RootScope root;
            ::kill(child, SIGKILL);
        }
        ::waitpid(child, nullptr, 0);
    }
    if (fd >= 0)
        ::close(fd);
}

// A listener run as another user: binds each path (making a missing folder
// of that user's on the way when asked), and reports on its pipe "ready" and
// then every byte any connection sends it.
pid_t foreignListener(const QStringList &paths, const QString &foreignFolder, int *reportFd)
{
    int fds[2];
    if (::pipe(fds) != 0)
        return -1;
    QList<QByteArray> encoded;
    for (const QString &path : paths)
        encoded << QFile::encodeName(path);
    const QByteArray folder = QFile::encodeName(foreignFolder);
    const pid_t child = ::fork();
    if (child != 0) {
        ::close(fds[1]);
        *reportFd = fds[0];
        return child;
    }
    ::close(fds[0]);
    QList<int> listeners;
    {
        TestEnv::RootScope root;
        if (!root.ok())
            ::_exit(3);
        if (!folder.isEmpty()) {
            ::mkdir(folder.constData(), 0777);
            if (::chown(folder.constData(), otherUser, otherUser) != 0 || ::chmod(folder.constData(), 0777) != 0)
                ::_exit(4);
        }
        for (const QByteArray &path : encoded) {
            ::unlink(path.constData());
            const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
            sockaddr_un address {};
            address.sun_family = AF_UNIX;
            qstrncpy(address.sun_path, path.constData(), sizeof address.sun_path);
            if (s < 0 || ::bind(s, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0
                    || ::chown(path.constData(), otherUser, otherUser) != 0 || ::chmod(path.constData(), 0777) != 0)
                ::_exit(5);
            listeners << s;
        }
    }
    // The other user for good, then listen: the socket is that user's.
    if (::setgroups(0, nullptr) != 0 && errno != EPERM)
        ::_exit(6);
    TestEnv::RootScope root;   // root again, only to change the user for good
    if (::setresgid(otherUser, otherUser, otherUser) != 0 || ::setresuid(otherUser, otherUser, otherUser) != 0)
        ::_exit(7);
    for (int s : listeners) {
        if (::listen(s, 16) != 0)
            ::_exit(8);
        ::fcntl(s, F_SETFL, O_NONBLOCK);
    }
    (void)!::write(fds[1], "ready\n", 6);
    QList<int> open;
    for (int round = 0; round < 60000; ++round) {
        for (int s : listeners) {
            const int c = ::accept(s, nullptr, nullptr);
            if (c >= 0) {
                ::fcntl(c, F_SETFL, O_NONBLOCK);
                open << c;
                (void)!::write(fds[1], "+", 1);
            }
        }
        for (int c : open) {
            char buffer[256];
            const ssize_t n = ::read(c, buffer, sizeof buffer);
            if (n > 0)
                (void)!::write(fds[1], buffer, size_t(n));
        }
        ::usleep(10000);
    }
    ::_exit(0);
}

QByteArray drain(int fd)
{
    QByteArray bytes;
    pollfd p { fd, POLLIN, 0 };
    char buffer[256];
    while (::poll(&p, 1, 0) == 1) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n <= 0)
            break;
        bytes.append(buffer, int(n));
    }
    return bytes;
}

} // namespace

void TestSingleInstance::initTestCase()
{
    QVERIFY(QFileInfo(program).isExecutable());
    QVERIFY(WebFixture::registerTestBundle());
    window = new MainWindow(true);
    window->show();
    QVERIFY(window->localServer());
    QVERIFY(WebFixture::waitForPage(*window));
}

void TestSingleInstance::cleanupTestCase()
{
    delete window;
}

void TestSingleInstance::init()
{
    WebFixture::recordLoadRequests(*window);
}

QStringList TestSingleInstance::received()
{
    return WebFixture::loadRequests(*window);
}

bool TestSingleInstance::forward(const QString &argument, const QString &workingFolder)
{
    QProcess later;
    if (!workingFolder.isEmpty())
        later.setWorkingDirectory(workingFolder);
    later.start(program, { argument });
    if (!later.waitForStarted(5000))
        return false;
    QElapsedTimer clock;
    clock.start();
    while (later.state() != QProcess::NotRunning && clock.elapsed() < 10000)
        QTest::qWait(20);
    if (later.state() != QProcess::NotRunning) {
        later.kill();
        later.waitForFinished(5000);
        return false;
    }
    return later.exitStatus() == QProcess::NormalExit && later.exitCode() == 0;
}

void TestSingleInstance::relativePathArrivesAbsolute_data()
{
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("expected");   // below the working folder
    QTest::newRow("a name") << "p.quillary" << "/p.quillary";
    QTest::newRow("a folder and a name") << "site/project.quillary" << "/site/project.quillary";
    QTest::newRow("dot segments") << "./site/../other/p.quillary" << "/other/p.quillary";
}

// The running window has a working folder of its own: a relative path must
// reach it absolute, as the later start meant it.
void TestSingleInstance::relativePathArrivesAbsolute()
{
    QFETCH(QString, argument);
    QFETCH(QString, expected);
    const QString folder = TestEnv::root() + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(folder + QStringLiteral("/site")));
    QVERIFY(forward(argument, folder));
    QTRY_COMPARE_WITH_TIMEOUT(received().size(), 1, 5000);
    QCOMPARE(received().first(), QUrl::fromLocalFile(folder + expected).toString());
}

void TestSingleInstance::foreignSocketGetsNoPath_data()
{
    QTest::addColumn<bool>("folderOfOther");
    // Another user made the program's folder in the temporary folder first
    // (and every other name it might use there) and listens in it.
    QTest::newRow("folder of another user") << true;
    // A socket of another user inside this user's own folder.
    QTest::newRow("socket of another user") << false;
}

// With no usable runtime folder the program falls back to a folder of its own
// in the temporary folder. Another user listening there gets no path, and the
// later start opens its own window instead.
void TestSingleInstance::foreignSocketGetsNoPath()
{
    QFETCH(bool, folderOfOther);
    {
        TestEnv::RootScope root;
        if (!root.ok())
            QSKIP("making a socket of another user needs root (the test started as an ordinary user)");
    }
    const QString temp = QDir::tempPath();
    const QString folder = temp + QStringLiteral("/quillary-%1").arg(::geteuid());
    QStringList paths { folder + QStringLiteral("/QuillaryServer") };
    if (folderOfOther) {
        paths << temp + QStringLiteral("/QuillaryServer-%1").arg(::geteuid())
              << temp + QStringLiteral("/QuillaryServer");
    } else {
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0700) == 0);
    }
    int report = -1;
    const pid_t listener = foreignListener(paths, folderOfOther ? folder : QString(), &report);
    QVERIFY(listener > 0);
    const QByteArray ready = readLine(report, 5000);
    if (ready != "ready") {
        endChild(listener, report);
        QFAIL("the other user's listener did not start");
    }

    // As the later start sees it: no runtime folder.
    const QString missing = TestEnv::root() + QStringLiteral("/no-runtime");
    const QByteArray savedRuntime = qgetenv("XDG_RUNTIME_DIR");
    qputenv("XDG_RUNTIME_DIR", QFile::encodeName(missing));
    QLocalSocket probe;
    const bool reached = SingleInstance::probe(&probe, 1000);
    const QString name = SingleInstance::serverName();
    qputenv("XDG_RUNTIME_DIR", savedRuntime);
    QVERIFY(!reached);
    if (folderOfOther)
        QCOMPARE(name, QString());   // no private folder to be had: no server either

    QProcess later;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), missing);
    later.setProcessEnvironment(env);
    later.start(program, { TestEnv::root() + QStringLiteral("/secret plans/project.quillary") });
    QVERIFY(later.waitForStarted(5000));
    QTest::qWait(3000);
    const bool stillRunning = later.state() == QProcess::Running;
    later.kill();
    later.waitForFinished(5000);
    QByteArray heard = drain(report);
    endChild(listener, report);
    heard.replace('+', "");
    QVERIFY2(heard.isEmpty(), heard.constData());
    QVERIFY2(stillRunning, "the later start ended instead of opening its own window");
    QCOMPARE(received(), QStringList());
    if (!folderOfOther) {
        TestEnv::RootScope root;
        QDir(folder).removeRecursively();
    } else {
        TestEnv::RootScope root;
        for (const QString &path : paths)
            QFile::remove(path);
        QDir().rmdir(folder);
    }
}

// More idle connections than a desktop's descriptor limit (1024) lets a
// process hold: the server stays and a later start still hands its path over.
void TestSingleInstance::idleConnectionsDoNotCloseTheServer()
{
    rlimit saved {};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    rlimit desktop = saved;
    desktop.rlim_cur = qMin<rlim_t>(1024, saved.rlim_max);
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &desktop) == 0);

    int result = -1;
    const pid_t holder = holdConnections(QFile::encodeName(SingleInstance::serverName()), 1100, &result);
    QVERIFY(holder > 0);
    const int opened = readLine(result, 60000).toInt();
    qInfo() << "idle connections opened:" << opened;
    QVERIFY(opened >= 100);
    QTest::qWait(500);
    QVERIFY(QFileInfo::exists(window->localServer()->fullServerName()));

    const QString path = TestEnv::root() + QStringLiteral("/busy/project.quillary");
    const bool handed = forward(path);
    endChild(holder, result);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    QVERIFY(handed);
    QTRY_COMPARE_WITH_TIMEOUT(received(), QStringList { QUrl::fromLocalFile(path).toString() }, 5000);
}

// Accepting fails when the process has no descriptor left, and Qt then closes
// the server; once descriptors are free again it listens again.
void TestSingleInstance::serverListensAgainAfterAcceptFails()
{
    QLocalServer *server = window->localServer();
    QVERIFY(QFileInfo::exists(server->fullServerName()));
    rlimit saved {};
    QVERIFY(::getrlimit(RLIMIT_NOFILE, &saved) == 0);
    rlimit low = saved;
    low.rlim_cur = 1024;
    QVERIFY(::setrlimit(RLIMIT_NOFILE, &low) == 0);
    QList<int> taken;
    for (;;) {
        const int fd = ::open("/dev/null", O_RDONLY);
        if (fd < 0)
            break;
        taken << fd;
    }
    // Two free for the pipe to the child; the server's accept then finds none.
    for (int i = 0; i < 2 && !taken.isEmpty(); ++i)
        ::close(taken.takeLast());
    int result = -1;
    const pid_t holder = holdConnections(QFile::encodeName(SingleInstance::serverName()), 1, &result);
    // The pipe's other end, closed here after the fork, is free again: take it.
    for (;;) {
        const int fd = ::open("/dev/null", O_RDONLY);
        if (fd < 0)
            break;
        taken << fd;
    }
    bool closed = false;
    for (int i = 0; i < 100 && !closed; ++i) {
        QTest::qWait(10);
        closed = !QFileInfo::exists(server->fullServerName());   // Qt keeps isListening() true
    }
    for (int fd : qAsConst(taken))
        ::close(fd);
    ::setrlimit(RLIMIT_NOFILE, &saved);
    endChild(holder, result);
    QVERIFY2(closed, "accepting with no descriptor left did not close the server; nothing to recover from");
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(server->fullServerName()), 5000);

    const QString path = TestEnv::root() + QStringLiteral("/again/project.quillary");
    QVERIFY(forward(path));
    QTRY_COMPARE_WITH_TIMEOUT(received(), QStringList { QUrl::fromLocalFile(path).toString() }, 5000);
}

QUILLARY_TEST_MAIN(TestSingleInstance)
#include "tst_singleinstance.moc"
