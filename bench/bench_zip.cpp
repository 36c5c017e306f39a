// Zip speed, size and memory, in two parts (both by default; "tree" or
// "large" as the argument runs one):
// - tree: a generated tree of about 2,000 files and 100 MB (text,
//   incompressible "images", a few large files) packed through Bridge::zip
//   against Info-ZIP's zip -r -q (level 6), and unpacked through Bridge::unzip
//   against unzip -q;
// - large: one file of 1 GB (BENCH_LARGE_MB sets another size), once text and
//   once incompressible, packed through Bridge::zip against zip -6 and bsdtar;
//   then Info-ZIP, 7z and bsdtar unpack our archive and it is compared byte
//   for byte with the file.
// Each run is a child process of its own, so its peak resident memory
// (ru_maxrss) is its own. Prints its figures; it checks nothing. Build in
// Release. The large part needs about 4 GB of free disk for a while.

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTextStream>

#include <sys/resource.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <vector>

#include "bridge.h"

namespace {

QTextStream out(stdout);

struct Measure
{
    bool ok = false;
    double seconds = 0;
    double peakMb = 0;
    double cpuSeconds = 0;
};

// A forked child starts with the bench's own resident pages, and its peak
// (ru_maxrss) counts them; GNU time, small itself, reports the peak of the
// command alone.
QString peakFile()
{
    static const QString path = QFileInfo::exists(QStringLiteral("/usr/bin/time"))
        ? QDir::tempPath() + QStringLiteral("/bench_zip_peak_%1").arg(::getpid()) : QString();
    return path;
}

// Runs argv in a child and measures its wall time and peak resident memory.
Measure runChild(const QStringList &command)
{
    QStringList args = command;
    if (!peakFile().isEmpty())
        args = QStringList { QStringLiteral("/usr/bin/time"), QStringLiteral("-f"), QStringLiteral("%M"),
                             QStringLiteral("-o"), peakFile() } + command;
    std::vector<QByteArray> storage;
    for (const QString &a : args)
        storage.push_back(QFile::encodeName(a));
    std::vector<char *> argv;
    for (QByteArray &s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);

    // Dirty pages of the previous run would otherwise be written during this one.
    sync();
    timeval start, end;
    gettimeofday(&start, nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execvp(argv[0], argv.data());
        _exit(127);
    }
    Measure m;
    if (pid < 0)
        return m;
    int status = 0;
    rusage usage {};
    if (wait4(pid, &status, 0, &usage) != pid)
        return m;
    gettimeofday(&end, nullptr);
    m.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
    m.seconds = double(end.tv_sec - start.tv_sec) + double(end.tv_usec - start.tv_usec) / 1e6;
    m.peakMb = double(usage.ru_maxrss) / 1024.0;
    if (!peakFile().isEmpty()) {
        QFile report(peakFile());
        if (report.open(QIODevice::ReadOnly))
            m.peakMb = report.readAll().trimmed().split('\n').last().toDouble() / 1024.0;
        report.remove();
    }
    m.cpuSeconds = double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec)
        + double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    return m;
}

QByteArray wordsText(int size, QRandomGenerator &random)
{
    static const char *const words[] = { "site", "page", "publish", "image", "gallery", "style", "header",
                                         "footer", "menu", "content", "section", "article", "template",
                                         "<div class=\"row\">", "</div>", "<p>", "</p>", "lorem", "ipsum",
                                         "dolor", "amet", "2026", "\n", "\n    " };
    QByteArray text;
    text.reserve(size + 32);
    while (text.size() < size) {
        text += words[random.bounded(int(sizeof words / sizeof *words))];
        text += ' ';
        if (random.bounded(50) == 0)
            text += QByteArray::number(random.generate());
    }
    text.truncate(size);
    return text;
}

QByteArray randomBytes(int size, QRandomGenerator &random)
{
    QByteArray bytes(size, Qt::Uninitialized);
    random.fillRange(reinterpret_cast<quint32 *>(bytes.data()), size / 4);
    return bytes;
}

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size();
}

// About 2,000 files and 100 MB; returns the size of the largest file.
qint64 makeTree(const QString &root, int *files, qint64 *total)
{
    QRandomGenerator random(2026);
    qint64 largest = 0;
    auto add = [&](const QString &rel, const QByteArray &bytes) {
        if (!writeFile(root + QLatin1Char('/') + rel, bytes))
            return false;
        ++*files;
        *total += bytes.size();
        largest = qMax(largest, qint64(bytes.size()));
        return true;
    };
    for (int i = 0; i < 1950; ++i) {
        const QString rel = QStringLiteral("pages/section%1/page%2.html").arg(i % 40).arg(i);
        if (!add(rel, wordsText(4000 + int(random.bounded(36000)), random)))
            return -1;
    }
    for (int i = 0; i < 45; ++i) {
        if (!add(QStringLiteral("images/photo%1.jpg").arg(i), randomBytes(400000 + int(random.bounded(200000)), random)))
            return -1;
    }
    for (int i = 0; i < 3; ++i) {
        if (!add(QStringLiteral("data/large%1.txt").arg(i), wordsText(10 * 1024 * 1024, random)))
            return -1;
    }
    for (int i = 0; i < 2; ++i) {
        if (!add(QStringLiteral("media/video%1.mp4").arg(i), randomBytes(5 * 1024 * 1024, random)))
            return -1;
    }
    return largest;
}

// One measured run; the parent points HOME and XDG_DATA_HOME into its temporary
// folder, so the Bridge's own folders land there.
int childMain(int &argc, char *argv[], const QStringList &args)
{
    QCoreApplication app(argc, argv);
    Bridge bridge;
    if (args.at(1) == QLatin1String("--zip"))
        return bridge.zip(args.at(2), args.at(3)) ? 0 : 1;
    if (args.at(1) == QLatin1String("--unzip"))
        return bridge.unzip(args.at(2), args.at(3)) ? 0 : 1;
    return 2;
}

struct Best
{
    Measure best;
    bool ok = true;
    void take(const Measure &m)
    {
        ok = ok && m.ok;
        if (best.seconds == 0 || m.seconds < best.seconds)
            best.seconds = m.seconds;
        if (best.cpuSeconds == 0 || m.cpuSeconds < best.cpuSeconds)
            best.cpuSeconds = m.cpuSeconds;
        best.peakMb = qMax(best.peakMb, m.peakMb);
    }
};

Measure runShell(const QString &command)
{
    return runChild({ QStringLiteral("/bin/sh"), QStringLiteral("-c"), command });
}

bool tool(const char *name)
{
    return !QStandardPaths::findExecutable(QString::fromLatin1(name)).isEmpty();
}

void benchTree(const QString &base, const QString &self)
{
    const QString tree = base + QStringLiteral("/tree");
    int files = 0;
    qint64 total = 0;
    const qint64 largest = makeTree(tree, &files, &total);
    if (largest < 0) {
        out << "cannot generate the tree\n";
        return;
    }
    out << QStringLiteral("tree: %1 files, %2 MB, largest %3 MB\n")
               .arg(files).arg(total / 1048576.0, 0, 'f', 1).arg(largest / 1048576.0, 0, 'f', 1);
    out.flush();

    const QString ours = base + QStringLiteral("/ours.zip");
    const QString theirs = base + QStringLiteral("/theirs.zip");
    const int rounds = 5;
    Best zipOurs, zipTheirs, unzipOurs, unzipTheirs;
    // Alternating rounds, best time of each, so cache state moves both alike.
    // Outputs stay until the end: the file system hands out freshly deleted
    // inodes only after a slow search, which would swamp the figures.
    for (int round = 0; round < rounds; ++round) {
        QFile::remove(ours);
        QFile::remove(theirs);
        zipOurs.take(runChild({ self, QStringLiteral("--zip"), tree, ours }));
        zipTheirs.take(runShell(QStringLiteral("cd '%1' && zip -r -q -6 '%2' tree").arg(base, theirs)));
        const QString outOurs = base + QStringLiteral("/out-ours-%1").arg(round);
        const QString outTheirs = base + QStringLiteral("/out-theirs-%1").arg(round);
        const Measure m = runChild({ self, QStringLiteral("--unzip"), theirs, outOurs });
        unzipOurs.take(m);
        if (qEnvironmentVariableIsSet("BENCH_VERBOSE"))
            out << "round " << round << ": unzip " << m.seconds << " cpu " << m.cpuSeconds << " ok " << m.ok << "\n", out.flush();
        unzipTheirs.take(runChild({ QStringLiteral("unzip"), QStringLiteral("-q"), theirs, QStringLiteral("-d"),
                                    outTheirs }));
    }
    const double oursSize = QFileInfo(ours).size();
    const double theirsSize = QFileInfo(theirs).size();
    const double memoryGoal = 3.0 * largest / 1048576.0 + 50.0;

    auto line = [&](const char *what, const Best &a, const Best &b) {
        out << QStringLiteral("%1: Bridge %2 s (peak %3 MB)%4, Info-ZIP %5 s (peak %6 MB)%7; ratio %8 (goal <= 1.20)\n")
                   .arg(QLatin1String(what))
                   .arg(a.best.seconds, 0, 'f', 3).arg(a.best.peakMb, 0, 'f', 1)
                   .arg(a.ok ? QString() : QStringLiteral(" FAILED"))
                   .arg(b.best.seconds, 0, 'f', 3).arg(b.best.peakMb, 0, 'f', 1)
                   .arg(b.ok ? QString() : QStringLiteral(" FAILED"))
                   .arg(a.best.seconds / b.best.seconds, 0, 'f', 2);
    };
    out << QStringLiteral("best of %1 rounds\n").arg(rounds);
    line("zip  ", zipOurs, zipTheirs);
    line("unzip", unzipOurs, unzipTheirs);
    out << QStringLiteral("archive size: Bridge %1 MB, zip -6 %2 MB; difference %3 % (goal within 2 %)\n")
               .arg(oursSize / 1048576.0, 0, 'f', 2).arg(theirsSize / 1048576.0, 0, 'f', 2)
               .arg((oursSize - theirsSize) * 100.0 / theirsSize, 0, 'f', 2);
    out << QStringLiteral("peak memory goal: below %1 MB (3 x largest entry + 50 MB); zip %2 MB, unzip %3 MB\n")
               .arg(memoryGoal, 0, 'f', 1).arg(zipOurs.best.peakMb, 0, 'f', 1).arg(unzipOurs.best.peakMb, 0, 'f', 1);
    out.flush();
}

// One large file written in pieces, so that making it takes no more memory
// than packing it should.
bool makeLargeFile(const QString &path, qint64 size, bool text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return false;
    QRandomGenerator random(text ? 1066 : 1067);
    const int piece = 8 * 1024 * 1024;
    for (qint64 done = 0; done < size;) {
        const int n = int(qMin<qint64>(piece, size - done));
        const QByteArray bytes = text ? wordsText(n, random) : randomBytes(n, random);
        if (file.write(bytes) != bytes.size())
            return false;
        done += n;
    }
    return file.flush();
}

void benchLarge(const QString &base, const QString &self, bool text)
{
    const qint64 megabytes = qEnvironmentVariableIsSet("BENCH_LARGE_MB")
        ? qEnvironmentVariableIntValue("BENCH_LARGE_MB") : 1024;
    const QString folder = base + QStringLiteral("/large");
    QDir().mkpath(folder);
    const QString name = text ? QStringLiteral("large.txt") : QStringLiteral("large.bin");
    const QString file = folder + QLatin1Char('/') + name;
    if (!makeLargeFile(file, megabytes * 1048576, text)) {
        out << "cannot write " << file << "\n";
        return;
    }
    out << QStringLiteral("\none %1 MB file, %2\n").arg(megabytes).arg(text ? QStringLiteral("text")
                                                                             : QStringLiteral("incompressible"));
    out.flush();

    const QString ours = folder + QStringLiteral("/ours.zip");
    const QString theirs = folder + QStringLiteral("/zip6.zip");
    const QString tars = folder + QStringLiteral("/bsdtar.zip");
    const int rounds = qEnvironmentVariableIsSet("BENCH_ROUNDS") ? qEnvironmentVariableIntValue("BENCH_ROUNDS") : 3;
    Best a, b, c;
    for (int round = 0; round < rounds; ++round) {
        QFile::remove(ours);
        QFile::remove(theirs);
        QFile::remove(tars);
        const Measure m = runChild({ self, QStringLiteral("--zip"), file, ours });
        a.take(m);
        const Measure z = runShell(QStringLiteral("cd '%1' && zip -q -6 '%2' '%3'").arg(folder, theirs, name));
        b.take(z);
        const Measure t = runShell(QStringLiteral("cd '%1' && bsdtar -a -cf '%2' '%3'").arg(folder, tars, name));
        c.take(t);
        if (qEnvironmentVariableIsSet("BENCH_VERBOSE"))
            out << QStringLiteral("round %1: Bridge %2 s, zip -6 %3 s, bsdtar %4 s\n")
                       .arg(round).arg(m.seconds, 0, 'f', 2).arg(z.seconds, 0, 'f', 2).arg(t.seconds, 0, 'f', 2),
                out.flush();
    }
    auto line = [&](const char *what, const Best &m, const QString &archive) {
        out << QStringLiteral("  %1 %2 s wall, %3 s cpu, peak %4 MB, archive %5 MB%6\n")
                   .arg(QLatin1String(what)).arg(m.best.seconds, 7, 'f', 2).arg(m.best.cpuSeconds, 7, 'f', 2)
                   .arg(m.best.peakMb, 6, 'f', 1).arg(QFileInfo(archive).size() / 1048576.0, 0, 'f', 1)
                   .arg(m.ok ? QString() : QStringLiteral(" FAILED"));
    };
    out << QStringLiteral("best of %1 rounds\n").arg(rounds);
    line("Bridge::zip", a, ours);
    line("zip -6     ", b, theirs);
    line("bsdtar     ", c, tars);
    out << QStringLiteral("  time: %1 x zip -6 wall, %2 x cpu (goal <= 1.10); %3 x bsdtar wall\n")
               .arg(a.best.seconds / b.best.seconds, 0, 'f', 2).arg(a.best.cpuSeconds / b.best.cpuSeconds, 0, 'f', 2)
               .arg(a.best.seconds / c.best.seconds, 0, 'f', 2);
    out << QStringLiteral("  peak memory: %1 MB (goal < 64 MB)\n").arg(a.best.peakMb, 0, 'f', 1);
    out.flush();
    QFile::remove(theirs);
    QFile::remove(tars);

    // The peers unpack our archive to exactly the file.
    const QStringList readers {
        QStringLiteral("unzip -tq ZIP > /dev/null"),
        QStringLiteral("unzip -p ZIP NAME | cmp -s - NAME"),
        QStringLiteral("7z t ZIP > /dev/null"),
        QStringLiteral("7z x -so ZIP NAME 2> /dev/null | cmp -s - NAME"),
        QStringLiteral("bsdtar -xOf ZIP NAME | cmp -s - NAME"),
    };
    for (const QString &command : readers) {
        const QString program = command.section(QLatin1Char(' '), 0, 0);
        if (!tool(program.toLatin1().constData())) {
            out << "  " << program << " is not installed\n";
            continue;
        }
        const Measure m = runShell(QStringLiteral("cd '%1' && ").arg(folder)
                                   + QString(command).replace(QStringLiteral("ZIP"), QStringLiteral("ours.zip"))
                                         .replace(QStringLiteral("NAME"), name));
        out << QStringLiteral("  %1: %2\n").arg(QString(command).replace(QStringLiteral("ZIP"), QStringLiteral("ours.zip"))
                                                   .replace(QStringLiteral("NAME"), name),
                                               m.ok ? QStringLiteral("ok") : QStringLiteral("FAILED"));
        out.flush();
    }
    QFile::remove(ours);
    QFile::remove(file);
}

} // namespace

int main(int argc, char *argv[])
{
    QStringList args;
    for (int i = 0; i < argc; ++i)
        args.append(QFile::decodeName(argv[i]));
    if (args.size() == 4 && args.at(1).startsWith(QLatin1String("--")))
        return childMain(argc, argv, args);

    const QString part = args.size() > 1 ? args.at(1) : QString();
    if (!tool("zip") || !tool("unzip")) {
        out << "Info-ZIP zip and unzip are needed (Debian packages zip, unzip)\n";
        return 1;
    }
    if (part != QLatin1String("tree") && !tool("bsdtar")) {
        out << "bsdtar is needed (Debian package libarchive-tools)\n";
        return 1;
    }
    QTemporaryDir work;
    const QString base = work.path();
    qputenv("HOME", QFile::encodeName(base + QStringLiteral("/home")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(base + QStringLiteral("/home/data")));
    const QString self = QFileInfo(QStringLiteral("/proc/self/exe")).symLinkTarget();
    if (part.isEmpty() || part == QLatin1String("tree"))
        benchTree(base, self);
    if (part.isEmpty() || part == QLatin1String("large")) {
        benchLarge(base, self, true);
        benchLarge(base, self, false);
    }
    return 0;
}
