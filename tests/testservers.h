#pragma once

// Real FTP, FTPS and SFTP servers for the tests, started from
// scripts/testserver.sh on 127.0.0.1 in a fresh folder and stopped, with
// every process they forked, when the TestServer object goes.
//
//   TestServer server(TestServer::VsftpdExplicit);
//   QVERIFY2(server.start(), qPrintable(server.errorString()));
//   ... server.url("/site") is ftp://127.0.0.1:PORT/site (plain credentials)
//
// Implicit FTPS must use port 990, so tests that start such a server take a
// lock file for as long as the server lives and wait their turn (bounded).
// The server folders live under /var/lib/quillary-test, not the test's own
// temporary folder: sshd's chroot wants every folder above it owned by root
// and writable by nobody else, and the servers' own users must reach it.

#include <QByteArray>
#include <QDeadlineTimer>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QProcess>
#include <QRegularExpression>
#include <QSet>
#include <QString>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <QUrl>

#include <csignal>
#include <fcntl.h>
#include <memory>
#include <sys/file.h>
#include <sys/types.h>
#include <unistd.h>

#include "CURLFtp.h"
#include "encryptmanager.h"
#include "testmain.h"

class TestServer
{
public:
    // VsftpdNoChroot leaves the log-in folder below the server's top folder,
    // as on hosts that do not confine users. SftpPam takes the password both
    // as "password" and as keyboard-interactive through PAM, as many hosts
    // do; SftpKeyboard as keyboard-interactive only. None of these three is
    // in allKinds().
    enum Kind { PyFtp, PyFtpsExplicit, PyFtpsImplicit, Vsftpd, VsftpdExplicit, VsftpdImplicit, Sftp, VsftpdNoChroot,
                SftpPam, SftpKeyboard };

    explicit TestServer(Kind kind) : kind_(kind) {}
    ~TestServer()
    {
        stop();
        // The folder and the servers' files in it belong to root.
        TestEnv::RootScope root;
        dir_.reset();
    }
    TestServer(const TestServer &) = delete;
    TestServer &operator=(const TestServer &) = delete;

    static QList<Kind> allKinds()
    {
        return { PyFtp, PyFtpsExplicit, PyFtpsImplicit, Vsftpd, VsftpdExplicit, VsftpdImplicit, Sftp };
    }
    static QString kindName(Kind kind)
    {
        static const char *names[] = { "pyftpd", "pyftpd-explicit", "pyftpd-implicit", "vsftpd",
                                       "vsftpd-explicit", "vsftpd-implicit", "sftp", "vsftpd-nochroot",
                                       "sftp-pam", "sftp-keyboard" };
        return QString::fromLatin1(names[kind]);
    }
    // A "kind" column for a data-driven test, a row for each of these kinds.
    static void addKindRows(const QList<Kind> &kinds = allKinds());

    Kind kind() const { return kind_; }
    QString name() const { return kindName(kind_); }
    bool isSftp() const { return kind_ == Sftp || kind_ == SftpPam || kind_ == SftpKeyboard; }
    bool isImplicit() const { return kind_ == PyFtpsImplicit || kind_ == VsftpdImplicit; }
    bool isTls() const { return isImplicit() || kind_ == PyFtpsExplicit || kind_ == VsftpdExplicit; }
    bool allowsAnonymous() const { return kind_ == PyFtp || kind_ == PyFtpsExplicit || kind_ == PyFtpsImplicit; }
    QString scheme() const { return isSftp() ? QStringLiteral("sftp") : isTls() ? QStringLiteral("ftps") : QStringLiteral("ftp"); }
    QString host() const { return QStringLiteral("127.0.0.1"); }
    int port() const { return port_; }
    QString user() const { return QStringLiteral("quillarytest"); }
    QString password() const { return QStringLiteral("quillary-test-pw"); }
    // The local folder the log-in lands in.
    QString rootFolder() const
    {
        return dir_ ? dir_->path() + (isSftp() ? QStringLiteral("/ftp/home/quillarytest") : QStringLiteral("/ftp")) : QString();
    }
    // The home path the client should learn: SFTP gives the absolute home
    // folder, FTP leaves paths relative to the log-in folder.
    QString homePath() const { return isSftp() ? QStringLiteral("/home/quillarytest/") : QString(); }
    qint64 pid() const { return process_ ? process_->processId() : 0; }
    QString errorString() const { return error_; }

    // The server's URL with plain credentials and the given path.
    QUrl url(const QString &path = QStringLiteral("/")) const
    {
        QUrl u;
        u.setScheme(scheme());
        u.setHost(host());
        u.setPort(port_);
        u.setUserName(user());
        u.setPassword(password());
        u.setPath(path);
        return u;
    }

    // The same URL with its credentials in the stored form the client reads:
    // Base64 of the encrypted text of each value. An empty user name stays
    // an encoded empty value, as stored destinations carry it.
    QUrl storedUrl(const QString &path = QStringLiteral("/"), const QString &userName = QStringLiteral("quillarytest"),
                   const QString &pass = QStringLiteral("quillary-test-pw")) const
    {
        QUrl u = url(path);
        u.setUserName(stored(userName));
        u.setPassword(stored(pass));
        return u;
    }
    static QString stored(const QString &plain)
    {
        return QString::fromLatin1(EncryptManager::encode(plain).toLatin1().toBase64()).replace(QLatin1Char('/'), QLatin1String("%2F"));
    }

    // Starts the server and waits (bounded) until it accepts connections.
    // Called again after stop(), it starts on the same port and folder.
    bool start()
    {
        if (process_)
            return true;
        // Servers run as root, as on a real host; the test itself does not.
        TestEnv::RootScope root;
        if (!root.ok()) {
            error_ = name() + QStringLiteral(": the test servers need a test run started as root");
            return false;
        }
        if (!dir_ && !makeRoot())
            return false;
        if (isImplicit() && !lockPort990())
            return false;
        if (isImplicit())
            port_ = 990;
        const bool fixedPort = port_ != 0 || isImplicit();
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (!fixedPort)
                port_ = freePort();
            if (port_ <= 0) {
                error_ = QStringLiteral("no free port on 127.0.0.1");
                return false;
            }
            if (launch())
                return true;
            if (fixedPort)
                break;
        }
        return false;
    }

    // Stops the server and every process below it; true when all are gone.
    bool stop()
    {
        if (!process_)
            return true;
        TestEnv::RootScope root;
        const pid_t leader = pid_t(process_->processId());
        QSet<pid_t> victims = processTree(leader);
        signalAll(victims, SIGTERM);
        process_->waitForFinished(3000);
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 3000) {
            victims = alive(victims + processTree(leader));
            if (victims.isEmpty())
                break;
            QThread::msleep(50);
        }
        signalAll(victims, SIGKILL);
        if (process_->state() != QProcess::NotRunning) {
            process_->kill();
            process_->waitForFinished(3000);
        }
        process_.reset();
        if (lockFd_ >= 0) {
            ::close(lockFd_);
            lockFd_ = -1;
        }
        return alive(victims).isEmpty();
    }

    // Signals the server and every process it forked: an SFTP session runs
    // in a process of its own, which freezing the listener alone leaves running.
    bool sendSignalToAll(int sig)
    {
        if (!process_)
            return false;
        const QSet<pid_t> all = processTree(pid_t(process_->processId()));
        signalAll(all, sig);
        return !all.isEmpty();
    }

    // Signals the server process (SIGSTOP freezes it, SIGCONT wakes it).
    bool sendSignal(int sig)
    {
        if (!process_)
            return false;
        TestEnv::RootScope root;
        return ::kill(pid_t(process_->processId()), sig) == 0;
    }

    QString log() const
    {
        QFile f(dir_ ? dir_->path() + QStringLiteral("/server.log") : QString());
        return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
    }

    // The server's own record of its sessions: vsftpd's log file (every
    // command and reply), the output of pyftpdlib and sshd otherwise.
    QString protocolLog() const
    {
        if (!isVsftpd())
            return log();
        QFile f(dir_ ? dir_->path() + QStringLiteral("/vsftpd.log") : QString());
        return f.open(QIODevice::ReadOnly) ? QString::fromLocal8Bit(f.readAll()) : QString();
    }
    bool isVsftpd() const
    {
        return kind_ == Vsftpd || kind_ == VsftpdExplicit || kind_ == VsftpdImplicit || kind_ == VsftpdNoChroot;
    }
    // Log-ins the server accepted, from its own log.
    int logins() const
    {
        const QString text = protocolLog();
        if (isVsftpd())
            return text.count(QStringLiteral("] OK LOGIN: "));
        if (isSftp())
            return text.count(QStringLiteral("Accepted password for "))
                + text.count(QStringLiteral("Accepted keyboard-interactive"));
        return text.count(QStringLiteral(" logged in."));
    }
    // Data connections the server refused, from its own log: vsftpd's
    // replies 425 (no connection), 426 (connection broken) and 522 (TLS
    // refused, e.g. "session reuse required").
    int refusedDataConnections() const
    {
        static const QRegularExpression refused(QStringLiteral("FTP response: Client \"[^\"]*\", \"(425|426|522)[ -]"));
        return isVsftpd() ? protocolLog().count(refused) : 0;
    }
    // The refused replies themselves, to show in a failure message.
    QString refusedReplies() const
    {
        QStringList lines = protocolLog().split(QLatin1Char('\n'));
        static const QRegularExpression refused(QStringLiteral("\"(425|426|522)[ -]"));
        return lines.filter(refused).join(QLatin1Char('\n'));
    }
    // Attempts to authenticate that reached the server, from its own log:
    // USER and PASS commands for vsftpd, authentication requests for sshd
    // (each client asks at least once, for the list of methods, before it
    // sends a password), log-ins and failed log-ins for pyftpdlib.
    int authAttempts() const
    {
        const QString text = protocolLog();
        if (isVsftpd())
            return text.count(QStringLiteral("\", \"USER ")) + text.count(QStringLiteral("\", \"PASS "));
        if (isSftp())
            return text.count(QStringLiteral("userauth-request for user "));
        return text.count(QStringLiteral("USER '"));
    }

    // Log-ins the server refused, from its own log: vsftpd's "FAIL LOGIN",
    // sshd's failed password and keyboard-interactive methods (each one a
    // password sent), pyftpdlib's failed log-ins.
    int failedLogins() const
    {
        const QString text = protocolLog();
        if (isVsftpd())
            return text.count(QStringLiteral("] FAIL LOGIN: "));
        if (isSftp()) {
            static const QRegularExpression failed(QStringLiteral("Failed (password|keyboard-interactive\\S*) for "));
            return text.count(failed);
        }
        return text.count(QStringLiteral("failed login"));
    }

    // The certificate (a PEM file with key and certificate chain, for the
    // TLS servers) or host key (an OpenSSH private key, for sshd) the server
    // shows from its next start on; empty for the shared test identity.
    void setIdentity(const QString &path) { identity_ = path; }

private:
    bool makeRoot()
    {
        const QString base = QStringLiteral("/var/lib/quillary-test");
        QDir().mkpath(base);
        QFile::setPermissions(base, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
                                        | QFileDevice::ReadGroup | QFileDevice::ExeGroup
                                        | QFileDevice::ReadOther | QFileDevice::ExeOther);
        sweepOrphans(base);
        dir_.reset(new QTemporaryDir(base + QStringLiteral("/srv-XXXXXX")));
        if (!dir_->isValid()) {
            error_ = QStringLiteral("cannot make a server folder in ") + base;
            dir_.reset();
            return false;
        }
        QFile::setPermissions(dir_->path(), QFile::permissions(base));
        writeText(dir_->path() + QStringLiteral("/owner"), processIdentity(::getpid()));
        return true;
    }

    // "pid start-time": a process id that cannot be mistaken for a later
    // process that got the same number.
    static QByteArray processIdentity(pid_t pid)
    {
        QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
        if (!stat.open(QIODevice::ReadOnly))
            return QByteArray();
        const QByteArray line = stat.readAll();
        const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
        // A zombie has ended already; only its parent has not looked yet.
        if (fields.size() <= 19 || fields.at(0) == "Z")
            return QByteArray();
        return QByteArray::number(pid) + ' ' + fields.at(19);
    }
    static QByteArray readText(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll().trimmed() : QByteArray();
    }
    static void writeText(const QString &path, const QByteArray &text)
    {
        QFile f(path);
        if (f.open(QIODevice::WriteOnly))
            f.write(text);
    }

    // A test that crashed or was killed leaves its servers running: stop the
    // servers whose owning test process is gone, and remove their folders.
    static void sweepOrphans(const QString &base)
    {
        const QStringList dirs = QDir(base).entryList({ QStringLiteral("srv-*") }, QDir::Dirs);
        for (const QString &name : dirs) {
            const QString path = base + QLatin1Char('/') + name;
            const QByteArray owner = readText(path + QStringLiteral("/owner"));
            if (owner.isEmpty() || processIdentity(pid_t(owner.split(' ').value(0).toInt())) == owner)
                continue;
            const QByteArray server = readText(path + QStringLiteral("/server.pid"));
            const QList<QByteArray> parts = server.split(' ');
            if (!server.isEmpty() && processIdentity(pid_t(parts.value(0).toInt())) == server) {
                const QSet<pid_t> victims = processTree(pid_t(parts.value(0).toInt()));
                signalAll(victims, SIGKILL);
            }
            QDir(path).removeRecursively();
        }
    }

    bool lockPort990()
    {
        if (lockFd_ >= 0)
            return true;
        lockFd_ = ::open("/run/quillary-test-port990.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
        if (lockFd_ < 0) {
            error_ = QStringLiteral("cannot open the lock file for port 990");
            return false;
        }
        QElapsedTimer waited;
        waited.start();
        while (::flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
            if (waited.elapsed() > 300000) {
                error_ = QStringLiteral("port 990 stayed taken by another test for 5 minutes");
                ::close(lockFd_);
                lockFd_ = -1;
                return false;
            }
            QThread::msleep(100);
        }
        return true;
    }

    static int freePort()
    {
        QTcpServer probe;
        return probe.listen(QHostAddress::LocalHost, 0) ? probe.serverPort() : -1;
    }

    bool launch()
    {
        process_.reset(new QProcess);
        process_->setProcessChannelMode(QProcess::MergedChannels);
        process_->setStandardOutputFile(dir_->path() + QStringLiteral("/server.log"), QIODevice::Append);
        // setsid execs the script in a session of its own (same pid), and the
        // script execs the server, so the process id is the server's.
        process_->start(QStringLiteral("/usr/bin/setsid"),
                        { QStringLiteral(QUILLARY_SOURCE_DIR "/scripts/testserver.sh"), QStringLiteral("start"),
                          name(), dir_->path(), QString::number(port_), identity_ });
        if (!process_->waitForStarted(5000)) {
            error_ = name() + QStringLiteral(": cannot start scripts/testserver.sh: ") + process_->errorString();
            process_.reset();
            return false;
        }
        writeText(dir_->path() + QStringLiteral("/server.pid"), processIdentity(pid_t(process_->processId())));
        QElapsedTimer waited;
        waited.start();
        while (waited.elapsed() < 20000) {
            if (process_->state() == QProcess::NotRunning)
                break;
            QTcpSocket socket;
            socket.connectToHost(QHostAddress::LocalHost, quint16(port_));
            if (socket.waitForConnected(200)) {
                socket.abort();
                return true;
            }
            process_->waitForFinished(100);
        }
        error_ = QStringLiteral("%1 did not listen on 127.0.0.1:%2 (is scripts/setup.sh done? are we root?): %3")
                     .arg(name()).arg(port_).arg(log().right(2000));
        stop();
        return false;
    }

    // The process and everything below it, found through the parent links
    // (sshd's connection children leave the process group) and the group.
    static QSet<pid_t> processTree(pid_t root)
    {
        QSet<pid_t> tree;
        if (root <= 0)
            return tree;
        QHash<pid_t, pid_t> parents;
        QHash<pid_t, pid_t> groups;
        const QStringList entries = QDir(QStringLiteral("/proc")).entryList(QDir::Dirs);
        for (const QString &entry : entries) {
            bool ok = false;
            const pid_t p = pid_t(entry.toInt(&ok));
            if (!ok)
                continue;
            QFile stat(QStringLiteral("/proc/") + entry + QStringLiteral("/stat"));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray line = stat.readAll();
            const QList<QByteArray> fields = line.mid(line.lastIndexOf(')') + 2).split(' ');
            if (fields.size() > 2) {
                parents.insert(p, pid_t(fields.at(1).toInt()));
                groups.insert(p, pid_t(fields.at(2).toInt()));
            }
        }
        tree.insert(root);
        for (bool grew = true; grew;) {
            grew = false;
            for (auto it = parents.cbegin(); it != parents.cend(); ++it) {
                if (!tree.contains(it.key()) && (tree.contains(it.value()) || groups.value(it.key()) == root)) {
                    tree.insert(it.key());
                    grew = true;
                }
            }
        }
        return tree;
    }

    static QSet<pid_t> alive(const QSet<pid_t> &pids)
    {
        QSet<pid_t> result;
        for (pid_t p : pids) {
            // A zombie is gone for our purpose: it holds no port any more.
            QFile stat(QStringLiteral("/proc/%1/stat").arg(p));
            if (!stat.open(QIODevice::ReadOnly))
                continue;
            const QByteArray line = stat.readAll();
            if (line.mid(line.lastIndexOf(')') + 2, 1) != "Z")
                result.insert(p);
        }
        return result;
    }

    static void signalAll(const QSet<pid_t> &pids, int sig)
    {
        TestEnv::RootScope root;
        for (pid_t p : pids)
            ::kill(p, sig);
    }

    Kind kind_;
    int port_ = 0;
    int lockFd_ = -1;
    QString error_;
    QString identity_;
    std::unique_ptr<QTemporaryDir> dir_;
    std::unique_ptr<QProcess> process_;
};

Q_DECLARE_METATYPE(TestServer::Kind)

inline void TestServer::addKindRows(const QList<Kind> &kinds)
{
    QTest::addColumn<Kind>("kind");
    for (Kind kind : kinds)
        QTest::newRow(qPrintable(kindName(kind))) << kind;
}

// Servers kept for the length of a test run, one per kind, started when first
// asked for. At most one implicit FTPS server runs at a time (port 990), and
// release() after each use of one lets other test programs have the port.
class TestServerPool
{
public:
    // The running server of that kind, or nullptr with the reason in error.
    TestServer *get(TestServer::Kind kind, QString *error)
    {
        std::unique_ptr<TestServer> &slot = servers_[kind];
        if (!slot)
            slot.reset(new TestServer(kind));
        if (slot->isImplicit()) {
            for (auto &other : servers_) {
                if (other && other.get() != slot.get() && other->isImplicit())
                    other->stop();
            }
        }
        if (!slot->start()) {
            if (error)
                *error = slot->errorString();
            return nullptr;
        }
        return slot.get();
    }
    void releaseImplicit()
    {
        for (auto &server : servers_) {
            if (server && server->isImplicit())
                server->stop();
        }
    }

    // The running server of the current row's kind (a "kind" column), or
    // nullptr after failing the test.
    TestServer *rowServer()
    {
        QFETCH(TestServer::Kind, kind);
        QString error;
        TestServer *s = get(kind, &error);
        if (!s)
            QTest::qFail(qPrintable("cannot start the test server: " + error), __FILE__, __LINE__);
        return s;
    }
    // The same server, logged in with a fresh client.
    TestServer *loggedIn(CURLFtp &ftp)
    {
        TestServer *s = rowServer();
        if (s && !ftp.connectToUrl(s->storedUrl())) {
            QTest::qFail(qPrintable("log-in failed: " + ftp.errorString()), __FILE__, __LINE__);
            return nullptr;
        }
        return s;
    }

private:
    std::unique_ptr<TestServer> servers_[TestServer::SftpKeyboard + 1];
};
