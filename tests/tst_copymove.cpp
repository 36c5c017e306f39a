#include "testmain.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "bridge.h"
#include "filesizecap.h"
#include "miscutils.h"
#include "peakmemory.h"
#include "resourcebundle.h"

// Copies and moves the page asks for, as the user: the starter site out of the
// bundle, folders that cannot be copied whole, links that lead out of a site,
// files larger than any array, and folders moved to another file system.
class TestCopyMove : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void starterCopyIsTheUsers();
    void folderCopyFailures_data();
    void folderCopyFailures();
    void folderCopyWithUnreadableFile();
    void linkOutOfTheTreeIsNotFollowed();
    void copyLargerThanAnyArray();
    void copyKeepsPermissions_data();
    void copyKeepsPermissions();
    void moveFolderToAnotherFileSystem();
    void moveFolderFailsAndKeepsSource_data();
    void moveFolderFailsAndKeepsSource();

private:
    QString at(const QString &name) const { return work->path() + QLatin1Char('/') + name; }
    QTemporaryDir *work = nullptr;
};

namespace {

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

mode_t modeOf(const QString &path)
{
    struct stat st {};
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 ? (st.st_mode & 07777) : 0;
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

mode_t processUmask()
{
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
}

// A folder on another file system than the work folder: /dev/shm when it is a
// separate, writable tmpfs, else nothing.
QString otherFileSystemFolder(const QString &from)
{
    struct stat a {}, b {};
    const QByteArray shm("/dev/shm");
    if (::stat(QFile::encodeName(from).constData(), &a) != 0 || ::stat(shm.constData(), &b) != 0
            || a.st_dev == b.st_dev || ::access(shm.constData(), W_OK | X_OK) != 0)
        return QString();
    return QString::fromLatin1(shm);
}

// Everything in a tree, hidden entries included, each with its kind, mode,
// modification time and content or link text: two trees with the same
// snapshot hold the same.
QStringList snapshot(const QString &root)
{
    QStringList lines;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        struct stat st {};
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            lines << path + QStringLiteral(" <gone>");
            continue;
        }
        QString line = QDir(root).relativeFilePath(path) + QStringLiteral(" mode ")
                + QString::number(st.st_mode, 8) + QStringLiteral(" mtime ") + QString::number(st.st_mtime);
        if (S_ISLNK(st.st_mode)) {
            char target[4096];
            const ssize_t n = ::readlink(QFile::encodeName(path).constData(), target, sizeof target);
            line += QStringLiteral(" -> ") + QString::fromLocal8Bit(target, n < 0 ? 0 : int(n));
        } else if (S_ISREG(st.st_mode)) {
            line += QStringLiteral(" content ") + QString::fromLatin1(readAll(path).toHex());
        }
        lines << line;
    }
    lines.sort();
    return lines;
}

// A small site as a server wants it: hidden files and folders, links inside
// the site, out of it and to nowhere, a private file and a script.
void makeSite(const QString &src)
{
    QVERIFY(writeAll(src + QStringLiteral("/index.html"), "index"));
    QVERIFY(writeAll(src + QStringLiteral("/.htaccess"), "Options -Indexes"));
    QVERIFY(writeAll(src + QStringLiteral("/.well-known/acme-challenge/token"), "proof"));
    QVERIFY(writeAll(src + QStringLiteral("/assets/img/a.png"), "png"));
    QVERIFY(writeAll(src + QStringLiteral("/private.key"), "secret"));
    QVERIFY(::chmod(QFile::encodeName(src + QStringLiteral("/private.key")).constData(), 0600) == 0);
    QVERIFY(writeAll(src + QStringLiteral("/cgi/run.sh"), "#!/bin/sh\n"));
    QVERIFY(::chmod(QFile::encodeName(src + QStringLiteral("/cgi/run.sh")).constData(), 0755) == 0);
    QVERIFY(::chmod(QFile::encodeName(src + QStringLiteral("/.well-known")).constData(), 0750) == 0);
    QVERIFY(QFile::link(QStringLiteral("index.html"), src + QStringLiteral("/home.html")));
    QVERIFY(QFile::link(QStringLiteral("/etc/hostname"), src + QStringLiteral("/.outside")));
    QVERIFY(QFile::link(QStringLiteral("missing/target"), src + QStringLiteral("/assets/dangling")));
    QVERIFY(::mkfifo(QFile::encodeName(src + QStringLiteral("/cgi/.pipe")).constData(), 0600) == 0);
    // Times from the past, so that a copy stamped "now" shows.
    const struct timespec old[2] = { { 1000000000, 0 }, { 1000000000, 0 } };
    for (const char *name : { "index.html", ".htaccess", ".well-known", "assets/img", "home.html" })
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(src + QLatin1Char('/') + QLatin1String(name)).constData(),
                            old, AT_SYMLINK_NOFOLLOW) == 0);
}

} // namespace

void TestCopyMove::initTestCase()
{
    QVERIFY(registerWebBundle());
}

void TestCopyMove::init()
{
    work = new QTemporaryDir;
    QVERIFY(work->isValid());
}

void TestCopyMove::cleanup()
{
    // Leave nothing read-only behind that would stop the clean-up.
    QDirIterator it(work->path(), QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext())
        ::chmod(QFile::encodeName(it.next()).constData(), 0755);
    ::chmod(QFile::encodeName(work->path()).constData(), 0755);
    delete work;
    work = nullptr;
}

// The first start copies the starter out of the read-only bundle: what lands in
// the user's folder is the user's, writable like any file made there.
void TestCopyMove::starterCopyIsTheUsers()
{
    Bridge bridge;
    const QString site = at(QStringLiteral("My First Site"));
    QCOMPARE(bridge.copyLocal(QStringLiteral("web/starter"), fileUrl(site)), fileUrl(site));
    const mode_t umask = processUmask();
    int files = 0;
    QDirIterator it(site, QDir::AllEntries | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const mode_t expected = QFileInfo(path).isDir() ? (0777 & ~umask) : (0666 & ~umask);
        QVERIFY2(modeOf(path) == expected,
                 qPrintable(QStringLiteral("%1 has mode %2").arg(path).arg(modeOf(path), 0, 8)));
        if (QFileInfo(path).isFile())
            ++files;
    }
    QVERIFY(files >= 3);
    // A single file out of the bundle too; and the copy can be saved over.
    const QString project = site + QStringLiteral("/project.quillary");
    QVERIFY(QFile::remove(project));
    QCOMPARE(bridge.copyLocal(QStringLiteral("web/starter/project.quillary"), fileUrl(project)), fileUrl(project));
    QCOMPARE(modeOf(project), mode_t(0666 & ~umask));
    QVERIFY(bridge.saveLocalFile(fileUrl(project), QStringLiteral("{}")));
    QCOMPARE(readAll(project), QByteArray("{}"));
}

void TestCopyMove::folderCopyFailures_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("into its own subfolder") << "own subfolder";
    QTest::newRow("read-only destination") << "read-only";
    QTest::newRow("destination is a file") << "file";
    QTest::newRow("destination below a file") << "below file";
}

// A folder copy that copied nothing (or not everything) is no copy: empty text.
void TestCopyMove::folderCopyFailures()
{
    QFETCH(QString, kind);
    Bridge bridge;
    const QString src = at(QStringLiteral("site"));
    QVERIFY(writeAll(src + QStringLiteral("/index.html"), "index"));
    QVERIFY(writeAll(src + QStringLiteral("/css/site.css"), "css"));
    QString dest;
    if (kind == QLatin1String("own subfolder")) {
        dest = src + QStringLiteral("/backup");
    } else if (kind == QLatin1String("read-only")) {
        dest = at(QStringLiteral("locked"));
        QVERIFY(QDir().mkpath(dest));
        QVERIFY(::chmod(QFile::encodeName(dest).constData(), 0555) == 0);
    } else if (kind == QLatin1String("file")) {
        dest = at(QStringLiteral("plain"));
        QVERIFY(writeAll(dest, "plain"));
    } else {
        QVERIFY(writeAll(at(QStringLiteral("plain")), "plain"));
        dest = at(QStringLiteral("plain/inner"));
    }
    QCOMPARE(bridge.copyLocal(fileUrl(src), fileUrl(dest)), QString());
    QVERIFY(!copyDir(src, dest, true));
    if (kind == QLatin1String("file") || kind == QLatin1String("below file"))
        QCOMPARE(readAll(at(QStringLiteral("plain"))), QByteArray("plain"));
    if (kind == QLatin1String("own subfolder"))
        QVERIFY(!QFileInfo::exists(dest));
    QCOMPARE(readAll(src + QStringLiteral("/index.html")), QByteArray("index"));
}

// One file that cannot be read: the rest is copied, but the copy is reported
// as failed.
void TestCopyMove::folderCopyWithUnreadableFile()
{
    Bridge bridge;
    const QString src = at(QStringLiteral("site")), dest = at(QStringLiteral("copy"));
    QVERIFY(writeAll(src + QStringLiteral("/a.html"), "a"));
    QVERIFY(writeAll(src + QStringLiteral("/secret.html"), "s"));
    QVERIFY(::chmod(QFile::encodeName(src + QStringLiteral("/secret.html")).constData(), 0) == 0);
    QVERIFY2(readAll(src + QStringLiteral("/secret.html")) == "<unreadable>",
             "the test runs with rights that pass over permission bits");
    QCOMPARE(bridge.copyLocal(fileUrl(src), fileUrl(dest)), QString());
    QCOMPARE(readAll(dest + QStringLiteral("/a.html")), QByteArray("a"));

    ::chmod(QFile::encodeName(src + QStringLiteral("/secret.html")).constData(), 0644);
    QCOMPARE(bridge.copyLocal(fileUrl(src), fileUrl(dest)), fileUrl(dest));
    QCOMPARE(readAll(dest + QStringLiteral("/secret.html")), QByteArray("s"));
}

// A link in the site to a file or folder outside it (the user's keys, the home
// folder) never brings that content into the copy.
void TestCopyMove::linkOutOfTheTreeIsNotFollowed()
{
    Bridge bridge;
    const QString src = at(QStringLiteral("site")), dest = at(QStringLiteral("copy"));
    QVERIFY(writeAll(at(QStringLiteral("private/key.txt")), "secret"));
    QVERIFY(writeAll(src + QStringLiteral("/index.html"), "index"));
    QVERIFY(QFile::link(at(QStringLiteral("private/key.txt")), src + QStringLiteral("/key.txt")));
    QVERIFY(QFile::link(at(QStringLiteral("private")), src + QStringLiteral("/private")));
    QVERIFY(QFile::link(QStringLiteral("../private/key.txt"), src + QStringLiteral("/relative.txt")));
    QVERIFY(QFile::link(src + QStringLiteral("/index.html"), src + QStringLiteral("/home.html")));

    QCOMPARE(bridge.copyLocal(fileUrl(src), fileUrl(dest)), fileUrl(dest));
    QCOMPARE(readAll(dest + QStringLiteral("/index.html")), QByteArray("index"));
    QCOMPARE(readAll(dest + QStringLiteral("/home.html")), QByteArray("index"));
    for (const QString &name : { QStringLiteral("key.txt"), QStringLiteral("private"), QStringLiteral("relative.txt") })
        QVERIFY2(!QFileInfo(dest + QLatin1Char('/') + name).exists() && !QFileInfo(dest + QLatin1Char('/') + name).isSymLink(),
                 qPrintable(name));
}

// A file over 2 GiB is copied whole, in pieces: memory stays far below its
// size (a sparse file, so the test writes next to nothing).
void TestCopyMove::copyLargerThanAnyArray()
{
    Bridge bridge;
    const qint64 size = qint64(2100) * 1000 * 1000 + 7;
    const QString src = at(QStringLiteral("big.bin")), dest = at(QStringLiteral("out/big-copy.bin"));
    {
        QFile file(src);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("head") == 4);
        QVERIFY(file.seek(size / 2));
        QVERIFY(file.write("middle") == 6);
        QVERIFY(file.resize(size));
        QVERIFY(file.seek(size - 4));
        QVERIFY(file.write("tail") == 4);
    }
    const qint64 before = TestMemory::peakRssKiB();
    QCOMPARE(bridge.copyLocal(fileUrl(src), fileUrl(dest)), fileUrl(dest));
    const qint64 after = TestMemory::peakRssKiB();
    QCOMPARE(QFileInfo(dest).size(), size);
    QFile copy(dest);
    QVERIFY(copy.open(QIODevice::ReadOnly));
    QCOMPARE(copy.read(4), QByteArray("head"));
    QVERIFY(copy.seek(size / 2));
    QCOMPARE(copy.read(6), QByteArray("middle"));
    QVERIFY(copy.seek(size - 4));
    QCOMPARE(copy.read(4), QByteArray("tail"));
    qInfo() << "peak memory before" << before << "KiB, after" << after << "KiB";
    QVERIFY2(after - before < 64 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(after - before)));
}

void TestCopyMove::copyKeepsPermissions_data()
{
    QTest::addColumn<int>("umask");
    QTest::addColumn<int>("source");
    QTest::addColumn<int>("expected");
    QTest::newRow("private file, umask 022") << 022 << 0600 << 0600;
    QTest::newRow("script, umask 022") << 022 << 0755 << 0755;
    QTest::newRow("shared file, umask 022") << 022 << 0664 << 0644;
    QTest::newRow("script, umask 077") << 077 << 0755 << 0700;
    QTest::newRow("read-only file, umask 002") << 002 << 0444 << 0444;
}

// A copy has the source's permission bits under the umask, as cp makes it: a
// private file is not readable by others, a script stays executable. The same
// for a file replaced by the copy and for the files of a folder copy.
void TestCopyMove::copyKeepsPermissions()
{
    QFETCH(int, umask);
    QFETCH(int, source);
    QFETCH(int, expected);
    Bridge bridge;
    const QString src = at(QStringLiteral("site/file"));
    QVERIFY(writeAll(src, "content"));
    QVERIFY(::chmod(QFile::encodeName(src).constData(), mode_t(source)) == 0);
    QVERIFY(writeAll(at(QStringLiteral("site/inner/file")), "content"));
    QVERIFY(::chmod(QFile::encodeName(at(QStringLiteral("site/inner/file"))).constData(), mode_t(source)) == 0);
    // The folders as a folder for such files would be: searchable wherever readable.
    const mode_t sourceFolder = mode_t(source) | 0700 | ((mode_t(source) & 0444) >> 2);
    QVERIFY(::chmod(QFile::encodeName(at(QStringLiteral("site/inner"))).constData(), sourceFolder) == 0);
    QVERIFY(::chmod(QFile::encodeName(at(QStringLiteral("site"))).constData(), sourceFolder) == 0);
    QVERIFY(writeAll(at(QStringLiteral("existing")), "older"));
    const mode_t saved = ::umask(mode_t(umask));
    const QString fresh = bridge.copyLocal(fileUrl(src), fileUrl(at(QStringLiteral("copy"))));
    const QString replaced = bridge.copyLocal(fileUrl(src), fileUrl(at(QStringLiteral("existing"))));
    const QString folder = bridge.copyLocal(fileUrl(at(QStringLiteral("site"))), fileUrl(at(QStringLiteral("site-copy"))));
    ::umask(saved);
    QCOMPARE(fresh, fileUrl(at(QStringLiteral("copy"))));
    QCOMPARE(replaced, fileUrl(at(QStringLiteral("existing"))));
    QCOMPARE(folder, fileUrl(at(QStringLiteral("site-copy"))));
    for (const QString &name : { QStringLiteral("copy"), QStringLiteral("existing"), QStringLiteral("site-copy/file"),
                                 QStringLiteral("site-copy/inner/file") }) {
        QVERIFY2(modeOf(at(name)) == mode_t(expected),
                 qPrintable(QStringLiteral("%1 has mode %2").arg(name).arg(modeOf(at(name)), 0, 8)));
        QCOMPARE(readAll(at(name)), QByteArray("content"));
    }
    // Folders alike, the user keeping the right to work in the copy.
    const mode_t folderMode = sourceFolder & ~mode_t(umask);
    for (const QString &name : { QStringLiteral("site-copy"), QStringLiteral("site-copy/inner") })
        QVERIFY2(modeOf(at(name)) == folderMode,
                 qPrintable(QStringLiteral("%1 has mode %2").arg(name).arg(modeOf(at(name)), 0, 8)));
}

// Another file system takes no rename: everything is copied, hidden entries,
// links as links, pipes, modes and times, and then the source is removed.
void TestCopyMove::moveFolderToAnotherFileSystem()
{
    const QString other = otherFileSystemFolder(work->path());
    if (other.isEmpty())
        QSKIP("/dev/shm is not a separate writable file system here: no second file system to move to");
    QTemporaryDir there(other + QStringLiteral("/quillary-move-XXXXXX"));
    QVERIFY(there.isValid());
    Bridge bridge;
    const QString src = at(QStringLiteral("site"));
    makeSite(src);
    const QStringList before = snapshot(src);
    QVERIFY(before.size() >= 14);
    const QString dest = there.path() + QStringLiteral("/moved");
    QVERIFY(bridge.moveLocal(fileUrl(src), fileUrl(dest)));
    QVERIFY(!QFileInfo::exists(src));
    QCOMPARE(snapshot(dest), before);
    QVERIFY(QFileInfo(dest + QStringLiteral("/home.html")).isSymLink());
    QCOMPARE(readAll(dest + QStringLiteral("/.well-known/acme-challenge/token")), QByteArray("proof"));

    // A single file and a single link the same way, and the folder back.
    QVERIFY(writeAll(at(QStringLiteral("one.txt")), "one"));
    QVERIFY(bridge.moveLocal(fileUrl(at(QStringLiteral("one.txt"))), fileUrl(there.path() + QStringLiteral("/one.txt"))));
    QVERIFY(!QFileInfo::exists(at(QStringLiteral("one.txt"))));
    QCOMPARE(readAll(there.path() + QStringLiteral("/one.txt")), QByteArray("one"));
    QVERIFY(QFile::link(QStringLiteral("one.txt"), at(QStringLiteral("link"))));
    QVERIFY(bridge.moveLocal(fileUrl(at(QStringLiteral("link"))), fileUrl(there.path() + QStringLiteral("/link"))));
    QCOMPARE(QFile::symLinkTarget(there.path() + QStringLiteral("/link")), there.path() + QStringLiteral("/one.txt"));
    QVERIFY(!QFileInfo(at(QStringLiteral("link"))).isSymLink());
    QVERIFY(bridge.moveLocal(fileUrl(dest), fileUrl(at(QStringLiteral("back")))));
    QCOMPARE(snapshot(at(QStringLiteral("back"))), before);
}

void TestCopyMove::moveFolderFailsAndKeepsSource_data()
{
    QTest::addColumn<QString>("cause");
    QTest::newRow("unreadable file") << "unreadable";
    QTest::newRow("unreadable hidden file") << "hidden";
    QTest::newRow("unreadable hidden folder") << "hidden folder";
    QTest::newRow("disk full half-way") << "full";
    QTest::newRow("folder that keeps its entries") << "locked";
}

// The copy to the other file system fails half-way: false, the source stays
// whole and no half copy is left.
void TestCopyMove::moveFolderFailsAndKeepsSource()
{
    QFETCH(QString, cause);
    const QString other = otherFileSystemFolder(work->path());
    if (other.isEmpty())
        QSKIP("/dev/shm is not a separate writable file system here: no second file system to move to");
    QTemporaryDir there(other + QStringLiteral("/quillary-move-XXXXXX"));
    QVERIFY(there.isValid());
    Bridge bridge;
    const QString src = at(QStringLiteral("site"));
    makeSite(src);
    QString blocked;   // the entry whose permissions stop the move
    if (cause == QLatin1String("unreadable")) {
        blocked = src + QStringLiteral("/z/locked.html");
        QVERIFY(writeAll(blocked, "locked"));
        QVERIFY(::chmod(QFile::encodeName(blocked).constData(), 0) == 0);
    } else if (cause == QLatin1String("hidden")) {
        blocked = src + QStringLiteral("/.htaccess");
        QVERIFY(::chmod(QFile::encodeName(blocked).constData(), 0) == 0);
    } else if (cause == QLatin1String("hidden folder")) {
        blocked = src + QStringLiteral("/.well-known");
        QVERIFY(::chmod(QFile::encodeName(blocked).constData(), 0) == 0);
    } else if (cause == QLatin1String("locked")) {
        blocked = src + QStringLiteral("/assets");
        QVERIFY(::chmod(QFile::encodeName(blocked).constData(), 0555) == 0);
    } else {
        QVERIFY(writeAll(src + QStringLiteral("/zz-big.bin"), QByteArray(256 * 1024, 'b')));
    }
    const QStringList before = snapshot(src);
    const QString dest = there.path() + QStringLiteral("/moved");
    bool moved = true;
    {
        FileSizeCap cap(cause == QLatin1String("full") ? 100 * 1024 : RLIM_INFINITY);
        moved = bridge.moveLocal(fileUrl(src), fileUrl(dest));
    }
    QVERIFY(!moved);
    QVERIFY(!QFileInfo::exists(dest) && !QFileInfo(dest).isSymLink());
    QCOMPARE(entriesOf(there.path()), QStringList());
    QCOMPARE(snapshot(src), before);
    if (!blocked.isEmpty())
        QVERIFY(::chmod(QFile::encodeName(blocked).constData(), cause == QLatin1String("hidden") ? 0644 : 0755) == 0);
    QCOMPARE(readAll(src + QStringLiteral("/.htaccess")), QByteArray("Options -Indexes"));
    QCOMPARE(readAll(src + QStringLiteral("/.well-known/acme-challenge/token")), QByteArray("proof"));
}

QUILLARY_TEST_MAIN(TestCopyMove)
#include "tst_copymove.moc"
