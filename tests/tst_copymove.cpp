#include "testmain.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include "bridge.h"
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
    void moveFolderToAnotherFileSystem();
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

// Another file system takes no rename: the folder is copied, then removed.
void TestCopyMove::moveFolderToAnotherFileSystem()
{
    const QString other = otherFileSystemFolder(work->path());
    if (other.isEmpty())
        QSKIP("no second writable file system (/dev/shm) here");
    QTemporaryDir there(other + QStringLiteral("/quillary-move-XXXXXX"));
    QVERIFY(there.isValid());
    Bridge bridge;
    const QString src = at(QStringLiteral("site"));
    QVERIFY(writeAll(src + QStringLiteral("/index.html"), "index"));
    QVERIFY(writeAll(src + QStringLiteral("/assets/img/a.png"), "png"));
    const QString dest = there.path() + QStringLiteral("/moved");
    QVERIFY(bridge.moveLocal(fileUrl(src), fileUrl(dest)));
    QVERIFY(!QFileInfo::exists(src));
    QCOMPARE(readAll(dest + QStringLiteral("/index.html")), QByteArray("index"));
    QCOMPARE(readAll(dest + QStringLiteral("/assets/img/a.png")), QByteArray("png"));

    // A single file the same way, and back.
    QVERIFY(writeAll(at(QStringLiteral("one.txt")), "one"));
    QVERIFY(bridge.moveLocal(fileUrl(at(QStringLiteral("one.txt"))), fileUrl(there.path() + QStringLiteral("/one.txt"))));
    QVERIFY(!QFileInfo::exists(at(QStringLiteral("one.txt"))));
    QVERIFY(bridge.moveLocal(fileUrl(dest), fileUrl(at(QStringLiteral("back")))));
    QCOMPARE(readAll(at(QStringLiteral("back/index.html"))), QByteArray("index"));
}

// The copy to the other file system fails half-way: false, the source stays
// whole and no half copy is left.
void TestCopyMove::moveFolderFailsAndKeepsSource()
{
    const QString other = otherFileSystemFolder(work->path());
    if (other.isEmpty())
        QSKIP("no second writable file system (/dev/shm) here");
    QTemporaryDir there(other + QStringLiteral("/quillary-move-XXXXXX"));
    QVERIFY(there.isValid());
    Bridge bridge;
    const QString src = at(QStringLiteral("site"));
    QVERIFY(writeAll(src + QStringLiteral("/index.html"), "index"));
    QVERIFY(writeAll(src + QStringLiteral("/z/locked.html"), "locked"));
    QVERIFY(::chmod(QFile::encodeName(src + QStringLiteral("/z/locked.html")).constData(), 0) == 0);
    const QString dest = there.path() + QStringLiteral("/moved");
    QVERIFY(!bridge.moveLocal(fileUrl(src), fileUrl(dest)));
    QVERIFY(!QFileInfo::exists(dest));
    QCOMPARE(readAll(src + QStringLiteral("/index.html")), QByteArray("index"));
    ::chmod(QFile::encodeName(src + QStringLiteral("/z/locked.html")).constData(), 0644);
    QCOMPARE(readAll(src + QStringLiteral("/z/locked.html")), QByteArray("locked"));
}

QUILLARY_TEST_MAIN(TestCopyMove)
#include "tst_copymove.moc"
