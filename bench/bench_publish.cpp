// Publishing speed: a generated site through the publish queue to a local
// folder, to FTP and to SFTP on 127.0.0.1, against cp -r, one curl process
// and lftp's mirror on the same tree; then one 200 MB file against curl, with
// the peak memory of the upload. Each figure is the best of three rounds,
// since the machine's load moves them; for the servers the slowest round is
// shown beside it. Prints its figures; it checks nothing.

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTextStream>
#include <QTimer>

#include <cstdio>

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

Tree makeSite(const QString &root)
{
    QRandomGenerator random(20261210);
    Tree tree;
    tree.root = root;
    for (int i = 0; i < 2000; ++i) {
        const QString rel = QString("section%1/page%2.html").arg(i % 50, 2, 10, QChar('0')).arg(i);
        const qint64 size = 1024 + random.bounded(63 * 1024);
        if (!writeRandom(root + "/" + rel, size, random))
            return Tree();
        tree.files << rel;
        tree.bytes += size;
    }
    for (int i = 0; i < 3; ++i) {
        const QString rel = QString("media/video%1.bin").arg(i);
        if (!writeRandom(root + "/" + rel, 20 << 20, random))
            return Tree();
        tree.files << rel;
        tree.bytes += 20 << 20;
    }
    return tree;
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
double curlUpload(const TestServer &server, const QString &dest, const Tree &tree, const QString &configPath,
                  QString *error)
{
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return -1;
    QTextStream s(&config);
    const QString base = QString("%1://127.0.0.1:%2/%3").arg(server.isSftp() ? "sftp" : "ftp")
                                 .arg(server.port()).arg(server.isSftp() ? "~/" + dest : dest);
    for (const QString &file : tree.files)
        s << "upload-file = \"" << tree.root << "/" << file << "\"\n"
          << "url = \"" << base << "/" << file << "\"\n";
    s.flush();
    config.close();
    QStringList args { "-s", "-S", "--ftp-create-dirs", "-u", server.user() + ":" + server.password(), "-K",
                       configPath };
    if (server.isSftp())
        args << "--insecure";
    return run("curl", args, error);
}

double lftpMirror(const TestServer &server, const QString &dest, const Tree &tree, QString *error)
{
    const QString settings = server.isSftp()
            ? "set sftp:auto-confirm yes; set sftp:connect-program 'ssh -a -x -o StrictHostKeyChecking=no -o UserKnownHostsFile=/dev/null';"
            : "set ftp:ssl-allow no; set ftp:passive-mode yes;";
    const QString site = QString("%1://127.0.0.1:%2").arg(server.isSftp() ? "sftp" : "ftp").arg(server.port());
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

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QTemporaryDir work;
    const Tree tree = makeSite(work.path() + "/site");
    if (tree.files.isEmpty()) {
        out << "cannot generate the site\n";
        return 1;
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
                    curlTimes.add(curlUpload(server, "by-curl", tree, work.path() + "/curl.cfg", &error));
                    break;
                case 1:
                    lftpTimes.add(lftpMirror(server, "by-lftp", tree, &error));
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
                curlBig = best(curlBig, curlUpload(server, "big-curl", big, work.path() + "/curl-big.cfg", &error));
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
    return 0;
}
