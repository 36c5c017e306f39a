// Publishing speed: a generated site through the publish queue to a local
// folder, to FTP and to SFTP on 127.0.0.1, against cp -r, one curl process
// and lftp's mirror on the same tree; then one 200 MB file against curl, with
// the peak memory of the upload. Each figure is the best of three rounds,
// since the machine's load moves them; for the servers the slowest round is
// shown beside it. Prints its figures; it checks nothing.
//
// Then explicit FTPS to vsftpd (2,000 small files against lftp and curl
// capped at TLS 1.2, with the number of log-ins each needed), and FTP and
// SFTP over a link with 20 ms round trips: a delaying relay in front of the
// servers, the same relay for every tool.
//
// And local publishing on its own: 2,000 and 20,000 small files into a fresh
// folder and over an earlier copy, against cp -r, rsync -a and (where the
// installed rsync has it) rsync -a --fsync, the one peer that makes its files
// durable as the publish queue does. Everything is synced before each round,
// so that no tool pays for the dirty pages of the one before.
//
//   bench_publish [--only=loopback,ftps,link,local] [--link-files=N]
//
// --link-files sets the number of small files sent over the slow link (200
// by default, so that the whole bench stays within a few minutes; 2000 is
// the full site). The servers need root: run the bench as root.

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QMap>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>
#include <unistd.h>

#include "delayrelay.h"
#include "filemanagerwrapper.h"
#include "testservers.h"
#include "wrapperlisthandler.h"

namespace {

QTextStream out(stdout);

struct Tree
{
    QString root;
    QStringList files;   // relative paths
    qint64 bytes = 0;
};

bool writeRandom(const QString &path, qint64 size, QRandomGenerator &random)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly))
        return false;
    QByteArray chunk(1 << 20, Qt::Uninitialized);
    for (qint64 left = size; left > 0;) {
        const int n = int(qMin<qint64>(left, chunk.size()));
        random.fillRange(reinterpret_cast<quint32 *>(chunk.data()), chunk.size() / 4);
        if (f.write(chunk.constData(), n) != n)
            return false;
        left -= n;
    }
    return true;
}

// smallFiles pages of 1 to 64 kB in 50 folders, and with media three 20 MB files.
Tree makeSite(const QString &root, int smallFiles = 2000, bool media = true)
{
    QRandomGenerator random(20261210);
    Tree tree;
    tree.root = root;
    for (int i = 0; i < smallFiles; ++i) {
        const QString rel = QString("section%1/page%2.html").arg(i % 50, 2, 10, QChar('0')).arg(i);
        const qint64 size = 1024 + random.bounded(63 * 1024);
        if (!writeRandom(root + "/" + rel, size, random))
            return Tree();
        tree.files << rel;
        tree.bytes += size;
    }
    for (int i = 0; media && i < 3; ++i) {
        const QString rel = QString("media/video%1.bin").arg(i);
        if (!writeRandom(root + "/" + rel, 20 << 20, random))
            return Tree();
        tree.files << rel;
        tree.bytes += 20 << 20;
    }
    return tree;
}

// How a tool reaches a server: directly, or through a relay's port; FTPS
// tools are told to cap TLS at 1.2 where they can.
struct Route
{
    const TestServer *server = nullptr;
    int port = 0;
    QString publishUrl(const QString &path) const
    {
        QUrl url = server->url(path);
        url.setPort(port);
        return url.toString();
    }
};

Route direct(const TestServer &server)
{
    return Route { &server, server.port() };
}

QString folderOf(const QString &path)
{
    const int slash = path.lastIndexOf('/');
    return slash > 0 ? path.left(slash) : QString();
}

// Publishes the tree as Bridge does: a folder task, then the upload, per file.
double publish(const QString &url, const Tree &tree, QString *error)
{
    QTemporaryDir scratch;
    auto *wrapper = new FileManagerWrapper(scratch.path());
    QEventLoop loop;
    QObject::connect(wrapper->handler, &WrapperListHandler::error, &loop, [&, wrapper](QString text) {
        *error = text;
        wrapper->exit();
    });
    QObject::connect(wrapper, &FileManagerWrapper::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(30 * 60 * 1000, &loop, [&, wrapper]() {
        *error = "timed out";
        wrapper->exit();
    });
    QElapsedTimer timer;
    timer.start();
    wrapper->initWithPath(url);
    for (const QString &file : tree.files) {
        wrapper->mkpath(folderOf(file));
        wrapper->uploadFile(file, tree.root + "/" + file);
    }
    wrapper->close();
    loop.exec();
    return timer.elapsed() / 1000.0;
}

double run(const QString &program, const QStringList &args, QString *error)
{
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    QElapsedTimer timer;
    timer.start();
    p.start(program, args);
    if (!p.waitForStarted(10000) || !p.waitForFinished(30 * 60 * 1000) || p.exitCode() != 0) {
        *error = program + " failed: " + QString::fromLocal8Bit(p.readAll().right(500));
        return -1;
    }
    return timer.elapsed() / 1000.0;
}

// One curl process, one connection, every file as a -T/URL pair.
double curlUpload(const Route &route, const QString &dest, const Tree &tree, const QString &configPath,
                  QString *error)
{
    const TestServer &server = *route.server;
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return -1;
    QTextStream s(&config);
    const QString base = QString("%1://127.0.0.1:%2/%3").arg(server.isSftp() ? "sftp" : "ftp")
                                 .arg(route.port).arg(server.isSftp() ? "~/" + dest : dest);
    for (const QString &file : tree.files)
        s << "upload-file = \"" << tree.root << "/" << file << "\"\n"
          << "url = \"" << base << "/" << file << "\"\n";
    s.flush();
    config.close();
    QStringList args { "-s", "-S", "--ftp-create-dirs", "-u", server.user() + ":" + server.password(), "-K",
                       configPath };
    if (server.isSftp())
        args << "--insecure";
    if (server.isTls())
        args << "--ssl-reqd" << "--insecure" << "--tls-max" << "1.2";
    return run("curl", args, error);
}

double lftpMirror(const Route &route, const QString &dest, const Tree &tree, QString *error)
{
    const TestServer &server = *route.server;
    QString settings = server.isSftp()
            ? "set sftp:auto-confirm yes; set sftp:connect-program 'ssh -a -x -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null';"
            : "set ftp:ssl-allow no; set ftp:passive-mode yes;";
    if (server.isTls())
        settings = "set ftp:ssl-force yes; set ftp:ssl-protect-data yes; set ssl:verify-certificate no; "
                   "set ftp:passive-mode yes;";
    const QString site = QString("%1://127.0.0.1:%2").arg(server.isSftp() ? "sftp" : "ftp").arg(route.port);
    return run("lftp", { "-u", server.user() + "," + server.password(), "-e",
                         settings + " mirror -R --no-perms --parallel=1 " + tree.root + " " + dest + "; quit",
                         site },
               error);
}

qint64 statusKb(const char *key)
{
    QFile f("/proc/self/status");
    if (!f.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : f.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qstrlen(key)).trimmed().split(' ').first().toLongLong();
    return -1;
}

void resetPeak()
{
    QFile f("/proc/self/clear_refs");
    if (f.open(QIODevice::WriteOnly))
        f.write("5");
}

// The shorter of two times; a negative time is a failed run.
double best(double a, double b)
{
    return a < 0 || (b >= 0 && b < a) ? b : a;
}

// The rounds of one tool: the best is the figure, the slowest shows the spread.
struct Times
{
    double best = -1;
    double worst = -1;
    void add(double seconds)
    {
        best = ::best(best, seconds);
        worst = qMax(worst, seconds);
    }
};

void line(const QString &what, double seconds, double reference, const QString &referenceName,
          double slowest = -1)
{
    out << QString("  %1 %2 s").arg(what, -34).arg(seconds, 8, 'f', 2);
    if (reference > 0 && seconds > 0)
        out << QString("   %1 x %2").arg(seconds / reference, 0, 'f', 2).arg(referenceName);
    if (slowest > 0)
        out << QString("   (slowest round %1 s)").arg(slowest, 0, 'f', 2);
    out << "\n";
    out.flush();
}

void loopbackBench(const QTemporaryDir &work)
{
    const Tree tree = makeSite(work.path() + "/site");
    if (tree.files.isEmpty()) {
        out << "cannot generate the site\n";
        return;
    }
    out << QString("site: %1 files in 51 folders, %2 MB\n").arg(tree.files.size())
                   .arg(tree.bytes / 1048576.0, 0, 'f', 1);

    QString error;
    // Alternating rounds: the file system's state (recently freed inodes,
    // caches) moves both figures.
    out << "local folder\n";
    double cp = -1, local = -1;
    for (int round = 0; round < 3; ++round) {
        const QString copy = work.path() + "/cp-copy", published = work.path() + "/published";
        const double c = run("cp", { "-r", tree.root, copy }, &error);
        const double q = publish(QUrl::fromLocalFile(published).toString(), tree, &error);
        cp = best(cp, c);
        local = best(local, q);
        QDir(copy).removeRecursively();
        QDir(published).removeRecursively();
    }
    line("cp -r", cp, 0, QString());
    line("publish queue", local, cp, "cp -r");

    for (TestServer::Kind kind : { TestServer::PyFtp, TestServer::Sftp }) {
        TestServer server(kind);
        if (!server.start()) {
            out << server.name() << ": " << server.errorString() << "\n";
            continue;
        }
        out << server.name() << " on 127.0.0.1:" << server.port() << "\n";
        error.clear();
        Times curlTimes, lftpTimes, queueTimes;
        for (int round = 0; round < 3; ++round) {
            // Each tool takes each place in the order once, so that none always
            // runs right after the others have written to the server's disk.
            for (int turn = 0; turn < 3; ++turn) {
                switch ((round + turn) % 3) {
                case 0:
                    curlTimes.add(curlUpload(direct(server), "by-curl", tree, work.path() + "/curl.cfg", &error));
                    break;
                case 1:
                    lftpTimes.add(lftpMirror(direct(server), "by-lftp", tree, &error));
                    break;
                default:
                    queueTimes.add(publish(server.url("/by-queue").toString(), tree, &error));
                }
            }
            for (const char *dest : { "by-curl", "by-lftp", "by-queue" })
                QDir(server.rootFolder() + "/" + QString::fromLatin1(dest)).removeRecursively();
        }
        if (!error.isEmpty())
            out << "  error: " << error << "\n";
        const double curl = curlTimes.best, lftp = lftpTimes.best;
        const double fastest = curl > 0 && (lftp <= 0 || curl < lftp) ? curl : lftp;
        line("curl, one connection", curl, 0, QString(), curlTimes.worst);
        line("lftp mirror -R", lftp, 0, QString(), lftpTimes.worst);
        line("publish queue", queueTimes.best, fastest, curl > 0 && fastest == curl ? "curl" : "lftp",
             queueTimes.worst);

        if (kind == TestServer::PyFtp) {
            // One large file: throughput against curl, and the peak memory it takes.
            Tree big;
            big.root = work.path() + "/big";
            big.files << "large.bin";
            big.bytes = 200 << 20;
            QRandomGenerator random(7);
            writeRandom(big.root + "/large.bin", big.bytes, random);
            error.clear();
            double curlBig = -1, queueBig = -1;
            qint64 before = 0, peak = 0;
            for (int round = 0; round < 3; ++round) {
                curlBig = best(curlBig, curlUpload(direct(server), "big-curl", big, work.path() + "/curl-big.cfg", &error));
                const qint64 resting = statusKb("VmRSS:");
                resetPeak();
                queueBig = best(queueBig, publish(server.url("/big-queue").toString(), big, &error));
                if (statusKb("VmHWM:") - resting > peak - before) {
                    before = resting;
                    peak = statusKb("VmHWM:");
                }
                QDir(server.rootFolder() + "/big-curl").removeRecursively();
                QDir(server.rootFolder() + "/big-queue").removeRecursively();
            }
            if (!error.isEmpty())
                out << "  error: " << error << "\n";
            out << "200 MB file over FTP\n";
            line("curl", curlBig, 0, QString());
            line("publish queue", queueBig, curlBig, "curl");
            out << QString("  throughput: curl %1 MB/s, queue %2 MB/s, ratio %3\n")
                           .arg(200 / curlBig, 0, 'f', 1).arg(200 / queueBig, 0, 'f', 1)
                           .arg(curlBig / queueBig, 0, 'f', 2);
            out << QString("  peak memory of the upload: %1 MB above %2 MB resting, %3 x the file\n")
                           .arg((peak - before) / 1024.0, 0, 'f', 1).arg(before / 1024.0, 0, 'f', 1)
                           .arg((peak - before) / 1024.0 / 200.0, 0, 'f', 2);
            QDir(big.root).removeRecursively();
        }
    }
    QDir(tree.root).removeRecursively();
}

bool rsyncHasFsync()
{
    QProcess p;
    p.start("rsync", { "--help" });
    return p.waitForFinished(10000) && p.readAllStandardOutput().contains("--fsync");
}

// One tool into `target`, timed from a synced file system.
double timedCopy(const QString &tool, const Tree &tree, const QString &target, QString *error)
{
    ::sync();
    if (tool == "cp -r")
        // -T: into the target itself, fresh or existing, not into a folder inside it.
        return run("cp", { "-r", "-T", tree.root, target }, error);
    if (tool == "rsync -a")
        return run("rsync", { "-a", "-I", tree.root + "/", target + "/" }, error);
    if (tool == "rsync -a --fsync")
        return run("rsync", { "-a", "-I", "--fsync", tree.root + "/", target + "/" }, error);
    return publish(QUrl::fromLocalFile(target).toString(), tree, error);
}

// 2,000 and 20,000 files of 1 to 64 kB in 50 folders: each tool into a fresh
// folder, then again over its own copy (-I: rsync rewrites every file, as the
// queue does). Best of three rounds in turns; per file for the growth.
void localBench(const QTemporaryDir &work)
{
    QStringList tools { "cp -r", "rsync -a" };
    if (rsyncHasFsync())
        tools << "rsync -a --fsync";
    else
        out << "the installed rsync has no --fsync\n";
    tools << "publish queue";
    QMap<QString, double> perFile[2];
    const int sizes[] = { 2000, 20000 };
    for (int s = 0; s < 2; ++s) {
        const Tree tree = makeSite(work.path() + "/local-site", sizes[s], false);
        if (tree.files.isEmpty()) {
            out << "cannot generate the site\n";
            return;
        }
        out << QString("local folder: %1 files in 50 folders, %2 MB\n").arg(tree.files.size())
                       .arg(tree.bytes / 1048576.0, 0, 'f', 1);
        QString error;
        QMap<QString, Times> fresh, over;
        for (int round = 0; round < 3; ++round) {
            for (int turn = 0; turn < tools.size(); ++turn) {
                const QString &tool = tools.at((round + turn) % tools.size());
                const QString target = work.path() + "/local-out";
                fresh[tool].add(timedCopy(tool, tree, target, &error));
                over[tool].add(timedCopy(tool, tree, target, &error));
                QDir(target).removeRecursively();
            }
        }
        if (!error.isEmpty())
            out << "  error: " << error << "\n";
        for (const char *kind : { "into a fresh folder", "over an earlier copy" }) {
            const QMap<QString, Times> &times = kind[0] == 'i' ? fresh : over;
            out << "  " << kind << "\n";
            const double rsync = times.value("rsync -a").best;
            for (const QString &tool : tools) {
                const Times t = times.value(tool);
                line("  " + tool, t.best, tool == "rsync -a" ? times.value("cp -r").best : rsync,
                     tool == "rsync -a" ? "cp -r" : "rsync -a", t.worst);
                if (kind[0] == 'i')
                    perFile[s][tool] = t.best > 0 ? t.best * 1e6 / tree.files.size() : -1;
            }
            const double fsync = times.value("rsync -a --fsync").best;
            if (fsync > 0 && times.value("publish queue").best > 0)
                out << QString("    publish queue: %1 x rsync -a --fsync\n")
                               .arg(times.value("publish queue").best / fsync, 0, 'f', 2);
        }
        QDir(tree.root).removeRecursively();
    }
    out << "  growth, into a fresh folder (microseconds per file, 2,000 -> 20,000 files)\n";
    for (const QString &tool : tools) {
        const double a = perFile[0].value(tool), b = perFile[1].value(tool);
        out << QString("    %1 %2 -> %3   x %4\n").arg(tool, -20).arg(a, 7, 'f', 1).arg(b, 7, 'f', 1)
                       .arg(a > 0 ? b / a : 0, 0, 'f', 2);
    }
    out.flush();
}

// Explicit FTPS to vsftpd at its TLS settings: 2,000 small files. The log-ins
// each tool needed are counted in vsftpd's own log.
void ftpsBench(const QTemporaryDir &work)
{
    const Tree tree = makeSite(work.path() + "/small", 2000, false);
    TestServer server(TestServer::VsftpdExplicit);
    if (tree.files.isEmpty() || !server.start()) {
        out << "explicit FTPS: " << server.errorString() << "\n";
        return;
    }
    const Route route = direct(server);
    out << QString("explicit FTPS, vsftpd on 127.0.0.1:%1, %2 files, %3 MB\n").arg(server.port())
                   .arg(tree.files.size()).arg(tree.bytes / 1048576.0, 0, 'f', 1);
    QString error;
    Times curlTimes, lftpTimes, queueTimes;
    int logins[3] = { 0, 0, 0 };
    for (int round = 0; round < 3; ++round) {
        for (int turn = 0; turn < 3; ++turn) {
            const int tool = (round + turn) % 3;
            const int before = server.logins();
            switch (tool) {
            case 0:
                curlTimes.add(curlUpload(route, "by-curl", tree, work.path() + "/curl-ftps.cfg", &error));
                break;
            case 1:
                lftpTimes.add(lftpMirror(route, "by-lftp", tree, &error));
                break;
            default:
                queueTimes.add(publish(route.publishUrl("/by-queue"), tree, &error));
            }
            logins[tool] = qMax(logins[tool], server.logins() - before);
        }
        TestEnv::RootScope root;
        for (const char *dest : { "by-curl", "by-lftp", "by-queue" })
            QDir(server.rootFolder() + "/" + QString::fromLatin1(dest)).removeRecursively();
    }
    if (!error.isEmpty())
        out << "  error: " << error << "\n";
    // The most any round needed, as the server's log counts them.
    auto loginText = [&](int tool) { return QString("   log-ins (server log): %1").arg(logins[tool]); };
    line("curl --tls-max 1.2, one connection", curlTimes.best, 0, QString(), curlTimes.worst);
    out << loginText(0) << "\n";
    line("lftp mirror -R --parallel=1", lftpTimes.best, 0, QString(), lftpTimes.worst);
    out << loginText(1) << "\n";
    line("publish queue", queueTimes.best, lftpTimes.best, "lftp", queueTimes.worst);
    if (queueTimes.best > 0 && curlTimes.best > 0)
        out << QString("  %1 x curl").arg(queueTimes.best / curlTimes.best, 0, 'f', 2, QChar(' ')) << "\n";
    out << loginText(2) << "\n";
    out.flush();
    QDir(tree.root).removeRecursively();
}

// One tool's run over the slow link: seconds, and per file for many files.
void linkLine(const QString &what, double seconds, int files, double reference, const QString &referenceName)
{
    out << QString("  %1 %2 s").arg(what, -34).arg(seconds, 8, 'f', 2);
    if (files > 1 && seconds > 0)
        out << QString("   %1 ms/file").arg(seconds * 1000 / files, 0, 'f', 1);
    if (files == 1 && seconds > 0)
        out << QString("   %1 MiB/s").arg(100 / seconds, 0, 'f', 2);
    if (reference > 0 && seconds > 0)
        out << QString("   %1 x %2").arg(seconds / reference, 0, 'f', 2).arg(referenceName);
    out << "\n";
    out.flush();
}

// FTP and SFTP behind a relay that holds each chunk 10 ms each way: small
// files, then one 100 MB file; one round each, the same relay for every tool.
void linkBench(const QTemporaryDir &work, int smallFiles)
{
    const Tree small = makeSite(work.path() + "/link-small", smallFiles, false);
    Tree big;
    big.root = work.path() + "/link-big";
    big.files << "large.bin";
    big.bytes = 100 << 20;
    QRandomGenerator random(100);
    if (small.files.isEmpty() || !writeRandom(big.root + "/large.bin", big.bytes, random)) {
        out << "cannot generate the files\n";
        return;
    }
    for (TestServer::Kind kind : { TestServer::PyFtp, TestServer::Sftp }) {
        TestServer server(kind);
        if (!server.start()) {
            out << server.name() << ": " << server.errorString() << "\n";
            continue;
        }
        DelayRelay relay(server.port(), !server.isSftp(), 10);
        if (!relay.ok()) {
            out << "cannot start the relay\n";
            return;
        }
        // The big file on loopback first, then both over the slow link.
        const QList<QPair<Route, const Tree *>> runs {
            { direct(server), &big }, { Route { &server, relay.port() }, &small }, { Route { &server, relay.port() }, &big }
        };
        for (const auto &run : runs) {
            const Route &route = run.first;
            const Tree *tree = run.second;
            const int files = tree->files.size();
            out << QString("%1 %2: %3\n").arg(server.name())
                           .arg(route.port == server.port() ? "on loopback" : "over a 20 ms round-trip link")
                           .arg(files == 1 ? QString("one 100 MB file")
                                           : QString("%1 small files, %2 MB").arg(files)
                                                     .arg(tree->bytes / 1048576.0, 0, 'f', 1));
            QString error;
            const QString tag = files == 1 ? "big" : "small";
            const double curl = curlUpload(route, "link-curl-" + tag, *tree, work.path() + "/curl-link.cfg", &error);
            const double lftp = lftpMirror(route, "link-lftp-" + tag, *tree, &error);
            const double queue = publish(route.publishUrl("/link-queue-" + tag), *tree, &error);
            if (!error.isEmpty())
                out << "  error: " << error << "\n";
            linkLine("curl, one connection", curl, files, 0, QString());
            linkLine("lftp mirror -R --parallel=1", lftp, files, 0, QString());
            linkLine("publish queue", queue, files, lftp, "lftp");
            if (queue > 0 && curl > 0)
                out << QString("  %1 x curl\n").arg(queue / curl, 0, 'f', 2);
            TestEnv::RootScope root;
            for (const QString &dest : { "link-curl-" + tag, "link-lftp-" + tag, "link-queue-" + tag })
                QDir(server.rootFolder() + "/" + dest).removeRecursively();
        }
    }
    QDir(small.root).removeRecursively();
    QDir(big.root).removeRecursively();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QStringList sections { "loopback", "ftps", "link", "local" };
    int linkFiles = 200;
    for (const QString &arg : app.arguments().mid(1)) {
        if (arg.startsWith("--only="))
            sections = arg.mid(7).split(',');
        else if (arg.startsWith("--link-files="))
            linkFiles = qMax(1, arg.mid(13).toInt());
        else {
            out << "usage: bench_publish [--only=loopback,ftps,link,local] [--link-files=N]\n";
            return 2;
        }
    }
    if (::geteuid() != 0)
        out << "the test servers need root; run the bench as root\n";
    QTemporaryDir work;
    if (sections.contains("loopback"))
        loopbackBench(work);
    if (sections.contains("ftps"))
        ftpsBench(work);
    if (sections.contains("link"))
        linkBench(work, linkFiles);
    if (sections.contains("local"))
        localBench(work);
    return 0;
}
