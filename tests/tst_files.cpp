#include "testmain.h"

#include <QCryptographicHash>
#include <QFileDialog>
#include <QLineEdit>
#include <QProcess>
#include <QResource>
#include <QStandardPaths>
#include <QTimer>

#include <csignal>
#include <functional>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "bridge.h"
#include "filesizecap.h"
#include "miscutils.h"
#include "resourcebundle.h"
#include "testpipe.h"

namespace {

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

const int childCannotSetUp = 77;

// Runs the body in a forked child and gives its exit code (-1 when it crashed
// or did not finish within ten seconds). What the child changes in its own
// process (root folder, mounts) never reaches the test itself.
int runInChild(const std::function<int()> &body)
{
    const pid_t child = fork();
    if (child < 0)
        return -1;
    if (child == 0)
        _exit(body());
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 200 && done == 0; ++i) {
        done = waitpid(child, &status, WNOHANG);
        if (done == 0)
            QTest::qSleep(50);
    }
    if (done == 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// Names of the entries directly in a folder, hidden ones included.
QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

} // namespace

class TestFiles : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void textRoundTrip();
    void failedSaveKeepsOldFile_data();
    void failedSaveKeepsOldFile();
    void saveIntoReadOnlyFolder();
    void interruptedSaveKeepsOldFile_data();
    void interruptedSaveKeepsOldFile();
    void base64RoundTrip();
    void copyLocal_data();
    void copyLocal();
    void copyFolderMirrorsTree();
    void moveLocal_data();
    void moveLocal();
    void removeLocal();
    void removeLocalRefusesRoots_data();
    void removeLocalRefusesRoots();
    void removeLocalRefusesFileSystemRoot();
    void isExistsLocal();
    void dirList_data();
    void dirList();
    void dirListOverloads();
    void resourceFile();
    void md5Base64_data();
    void md5Base64();
    void tempFiles();
    void tempFileWriteFailure();
    void openFileDialog_data();
    void openFileDialog();
    void onErrorWindow();
    void readsRefuseNonPlainFiles();
    void pipesNeverHoldTheWindow_data();
    void pipesNeverHoldTheWindow();
    void textTooLargeForAStringFails();

private:
    QTemporaryDir *work = nullptr;
    QString at(const QString &name) const { return work->path() + QLatin1Char('/') + name; }
};

void TestFiles::init()
{
    work = new QTemporaryDir;
    QVERIFY(work->isValid());
}

void TestFiles::cleanup()
{
    delete work;
    work = nullptr;
}

void TestFiles::textRoundTrip()
{
    Bridge bridge;
    const QString path = at(QStringLiteral("new/levels/page.html"));
    QVERIFY(writeAll(at(QStringLiteral("new/levels/page.html")), QByteArray(200, 'x')));
    const QString text = QStringLiteral("<p>Grüße ✓</p>\n\r\n");
    QVERIFY(bridge.saveLocalFile(fileUrl(path), text));
    // Replaced whole, as UTF-8 without a byte-order mark, line ends untouched.
    QCOMPARE(readAll(path), text.toUtf8());
    QCOMPARE(bridge.loadLocalFile(fileUrl(path)), text);
    QCOMPARE(bridge.loadLocalFile(path), text);

    // Missing folders are made; a plain path works like a file URL.
    const QString fresh = at(QStringLiteral("a/b/c/fresh.txt"));
    QVERIFY(bridge.saveLocalFile(fresh, QStringLiteral("fresh")));
    QCOMPARE(readAll(fresh), QByteArray("fresh"));
    QVERIFY(bridge.saveLocalFile(fresh, QString()));
    QCOMPARE(QFileInfo(fresh).size(), 0);

    // Saving through a link writes the file it points to and keeps the link,
    // as writing in place would.
    const QString real = at(QStringLiteral("real.html"));
    const QString link = at(QStringLiteral("link.html"));
    QVERIFY(writeAll(real, "old"));
    QVERIFY(QFile::link(real, link));
    QVERIFY(bridge.saveLocalFile(fileUrl(link), QStringLiteral("through the link")));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(readAll(real), QByteArray("through the link"));

    QCOMPARE(bridge.loadLocalFile(fileUrl(at(QStringLiteral("missing.txt")))), QString());
}

void TestFiles::failedSaveKeepsOldFile_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("target is a folder") << "folder";
    QTest::newRow("parent is a file") << "file parent";
    QTest::newRow("read-only file in a read-only folder") << "read-only";
}

// Each way a save can fail: the result is false (empty for copyLocal) and
// whatever was there before is still there.
void TestFiles::failedSaveKeepsOldFile()
{
    QFETCH(QString, kind);
    Bridge bridge;
    const QByteArray old("old content");
    const QString source = at(QStringLiteral("source.bin"));
    QVERIFY(writeAll(source, "new bytes"));

    QString target;
    QString guard;   // the entry whose content must survive
    if (kind == QLatin1String("folder")) {
        target = at(QStringLiteral("site/page.html"));
        guard = target + QStringLiteral("/inside.txt");
        QVERIFY(writeAll(guard, old));
    } else if (kind == QLatin1String("file parent")) {
        guard = at(QStringLiteral("plain"));
        QVERIFY(writeAll(guard, old));
        target = guard + QStringLiteral("/page.html");
    } else {
        const QString folder = at(QStringLiteral("locked"));
        target = guard = folder + QStringLiteral("/page.html");
        QVERIFY(writeAll(guard, old));
        QVERIFY(QFile::setPermissions(guard, QFileDevice::ReadOwner));
        QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    }

    QVERIFY(!bridge.saveLocalFile(fileUrl(target), QStringLiteral("new text")));
    QCOMPARE(readAll(guard), old);
    QVERIFY(!bridge.saveLocalBase64(fileUrl(target), QString::fromLatin1(QByteArray("new").toBase64())));
    QCOMPARE(readAll(guard), old);
    // A folder as destination is where copyLocal puts the file, so not a failure.
    if (kind != QLatin1String("folder"))
        QCOMPARE(bridge.copyLocal(fileUrl(source), fileUrl(target)), QString());
    QCOMPARE(readAll(guard), old);

    if (kind == QLatin1String("read-only"))
        QFile::setPermissions(at(QStringLiteral("locked")),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// A folder that refuses new files (mode 0555, as the user sees it): a file in
// it that is writable is saved in place, one that is not keeps its content,
// and nothing new appears in the folder.
void TestFiles::saveIntoReadOnlyFolder()
{
    Bridge bridge;
    const QString folder = at(QStringLiteral("site"));
    const QString target = folder + QStringLiteral("/page.html");
    const QString locked = folder + QStringLiteral("/locked.html");
    const QString source = at(QStringLiteral("source.bin"));
    QVERIFY(writeAll(target, "old content"));
    QVERIFY(writeAll(locked, "locked content"));
    QVERIFY(writeAll(source, "new bytes"));
    QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ReadGroup | QFileDevice::ReadOther));
    QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
    QFile probe(folder + QStringLiteral("/probe"));
    QVERIFY2(!probe.open(QIODevice::WriteOnly), "the test runs with rights that pass over permission bits");

    QVERIFY(bridge.saveLocalFile(fileUrl(target), QStringLiteral("new text")));
    QCOMPARE(readAll(target), QByteArray("new text"));
    QVERIFY(bridge.saveLocalBase64(fileUrl(target), QStringLiteral("bmV3")));
    QCOMPARE(readAll(target), QByteArray("new"));
    QCOMPARE(bridge.copyLocal(fileUrl(source), fileUrl(target)), fileUrl(target));
    QCOMPARE(readAll(target), QByteArray("new bytes"));

    QVERIFY(!bridge.saveLocalFile(fileUrl(locked), QStringLiteral("new text")));
    QVERIFY(!bridge.saveLocalBase64(fileUrl(locked), QStringLiteral("bmV3")));
    QVERIFY(bridge.copyLocal(fileUrl(source), fileUrl(locked)).isEmpty());
    QCOMPARE(readAll(locked), QByteArray("locked content"));
    QVERIFY(bridge.copyLocal(fileUrl(source), fileUrl(folder) + QLatin1Char('/')).isEmpty());
    QVERIFY(!bridge.saveLocalFile(fileUrl(folder + QStringLiteral("/new.html")), QStringLiteral("x")));

    QCOMPARE(entriesOf(folder), (QStringList { QStringLiteral("locked.html"), QStringLiteral("page.html") }));
    ::chmod(QFile::encodeName(folder).constData(), 0755);
}

void TestFiles::interruptedSaveKeepsOldFile_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("cap");
    // A few kilobytes fit the write buffer: only the last flush is refused.
    for (const char *slot : { "saveLocalFile", "saveLocalBase64", "copyLocal" }) {
        QTest::addRow("%s, refused at the last flush", slot) << QString::fromLatin1(slot) << 4003 << 1000;
        QTest::addRow("%s, refused while writing", slot) << QString::fromLatin1(slot) << 1024 * 1024 << 64 * 1024;
    }
}

// The disk refuses more bytes half-way through the write: the old file stays
// whole and no half-written temporary file is left beside it.
void TestFiles::interruptedSaveKeepsOldFile()
{
    QFETCH(QString, slot);
    QFETCH(int, size);
    QFETCH(int, cap);
    Bridge bridge;
    const QString folder = at(QStringLiteral("site"));
    const QString target = folder + QStringLiteral("/page.html");
    const QByteArray old("old content that must survive");
    QVERIFY(writeAll(target, old));
    const QByteArray big(size, 'n');
    const QString source = at(QStringLiteral("big.bin"));
    QVERIFY(writeAll(source, big));

    bool ok = true;
    {
        FileSizeCap limit { rlim_t(cap) };
        QVERIFY(limit.active);
        if (slot == QLatin1String("saveLocalFile"))
            ok = bridge.saveLocalFile(fileUrl(target), QString::fromLatin1(big));
        else if (slot == QLatin1String("saveLocalBase64"))
            ok = bridge.saveLocalBase64(fileUrl(target), QString::fromLatin1(big.toBase64()));
        else
            ok = !bridge.copyLocal(fileUrl(source), fileUrl(target)).isEmpty();
    }
    QVERIFY(!ok);
    QCOMPARE(readAll(target), old);
    QCOMPARE(entriesOf(folder), QStringList { QStringLiteral("page.html") });
}

void TestFiles::base64RoundTrip()
{
    Bridge bridge;
    QByteArray bytes;
    for (int i = 0; i < 5000; ++i)
        bytes.append(char(i * 7));   // zero bytes and every other value
    const QString path = at(QStringLiteral("deep/er/blob.bin"));
    QVERIFY(bridge.saveLocalBase64(fileUrl(path), QString::fromLatin1(bytes.toBase64())));
    QCOMPARE(readAll(path), bytes);
    const QString back = bridge.loadLocalBase64(fileUrl(path));
    QCOMPARE(back, QString::fromLatin1(bytes.toBase64()));   // standard, padded, one line
    QVERIFY(!back.contains(QLatin1Char('\n')));

    QVERIFY(bridge.saveLocalBase64(fileUrl(path), QString()));
    QCOMPARE(QFileInfo(path).size(), 0);
    QCOMPARE(bridge.loadLocalBase64(fileUrl(path)), QString());
    QCOMPARE(bridge.loadLocalBase64(fileUrl(at(QStringLiteral("missing.bin")))), QString());
}

void TestFiles::copyLocal_data()
{
    QTest::addColumn<QString>("dest");          // relative to the work folder
    QTest::addColumn<QString>("existing");      // "folder", "file" or empty: what is at dest before
    QTest::addColumn<QString>("expected");      // where the copy must land

    QTest::newRow("to new folder/") << "images/" << "" << "images/x.png";
    QTest::newRow("to new name without /") << "images" << "" << "images";
    QTest::newRow("into existing folder") << "images" << "folder" << "images/x.png";
    QTest::newRow("onto existing file") << "y.png" << "file" << "y.png";
    QTest::newRow("missing levels") << "a/b/c/z.png" << "" << "a/b/c/z.png";
}

void TestFiles::copyLocal()
{
    QFETCH(QString, dest);
    QFETCH(QString, existing);
    QFETCH(QString, expected);
    Bridge bridge;
    const QByteArray bytes("\x89PNG fake image bytes\0with a zero", 33);
    QVERIFY(writeAll(at(QStringLiteral("x.png")), bytes));
    if (existing == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(at(dest)));
    else if (existing == QLatin1String("file"))
        QVERIFY(writeAll(at(dest), "older and longer content"));

    const QString result = bridge.copyLocal(fileUrl(at(QStringLiteral("x.png"))),
                                            fileUrl(work->path()) + QLatin1Char('/') + dest);
    QCOMPARE(result, localPathToUrl(QDir::cleanPath(at(expected))));
    QVERIFY(QFileInfo(at(expected)).isFile());
    QCOMPARE(readAll(at(expected)), bytes);
    QCOMPARE(readAll(at(QStringLiteral("x.png"))), bytes);   // the source is untouched
}

void TestFiles::copyFolderMirrorsTree()
{
    Bridge bridge;
    QVERIFY(writeAll(at(QStringLiteral("src/index.html")), "new index"));
    QVERIFY(writeAll(at(QStringLiteral("src/css/site.css")), "body{}"));
    QVERIFY(writeAll(at(QStringLiteral("dst/index.html")), "old index, longer"));
    QVERIFY(writeAll(at(QStringLiteral("dst/keep.txt")), "kept"));

    const QString result = bridge.copyLocal(fileUrl(at(QStringLiteral("src"))), fileUrl(at(QStringLiteral("dst"))));
    QCOMPARE(result, localPathToUrl(at(QStringLiteral("dst"))));
    QCOMPARE(readAll(at(QStringLiteral("dst/index.html"))), QByteArray("new index"));
    QCOMPARE(readAll(at(QStringLiteral("dst/css/site.css"))), QByteArray("body{}"));
    QCOMPARE(readAll(at(QStringLiteral("dst/keep.txt"))), QByteArray("kept"));

    QCOMPARE(bridge.copyLocal(fileUrl(at(QStringLiteral("nothing"))), fileUrl(at(QStringLiteral("dst")))), QString());
    QVERIFY(!QFileInfo::exists(at(QStringLiteral("nothing"))));
}

void TestFiles::moveLocal_data()
{
    QTest::addColumn<QString>("source");     // "file", "folder" or "missing"
    QTest::addColumn<QString>("existing");   // what is at the destination: "file", "folder", "link" or ""
    QTest::addColumn<bool>("expected");

    QTest::newRow("file to free name") << "file" << "" << true;
    QTest::newRow("folder to free name") << "folder" << "" << true;
    QTest::newRow("file onto file") << "file" << "file" << false;
    QTest::newRow("file onto folder") << "file" << "folder" << false;
    QTest::newRow("folder onto folder") << "folder" << "folder" << false;
    QTest::newRow("file onto dangling link") << "file" << "link" << false;
    QTest::newRow("missing source") << "missing" << "" << false;
}

void TestFiles::moveLocal()
{
    QFETCH(QString, source);
    QFETCH(QString, existing);
    QFETCH(bool, expected);
    Bridge bridge;
    const QString from = at(QStringLiteral("from"));
    const QString to = at(QStringLiteral("to"));
    const QString marker = source == QLatin1String("folder") ? from + QStringLiteral("/inner.txt") : from;
    if (source != QLatin1String("missing"))
        QVERIFY(writeAll(marker, "moved"));
    if (existing == QLatin1String("file"))
        QVERIFY(writeAll(to, "in the way"));
    else if (existing == QLatin1String("folder"))
        QVERIFY(writeAll(to + QStringLiteral("/other.txt"), "in the way"));
    else if (existing == QLatin1String("link"))
        QVERIFY(QFile::link(at(QStringLiteral("gone")), to));

    QCOMPARE(bridge.moveLocal(fileUrl(from), fileUrl(to)), expected);
    if (expected) {
        QVERIFY(!QFileInfo::exists(from));
        QCOMPARE(readAll(source == QLatin1String("folder") ? to + QStringLiteral("/inner.txt") : to),
                 QByteArray("moved"));
    } else {
        if (source != QLatin1String("missing"))
            QCOMPARE(readAll(marker), QByteArray("moved"));
        if (existing == QLatin1String("file"))
            QCOMPARE(readAll(to), QByteArray("in the way"));
        else if (existing == QLatin1String("folder"))
            QCOMPARE(entriesOf(to), QStringList { QStringLiteral("other.txt") });
        else if (existing == QLatin1String("link"))
            QVERIFY(QFileInfo(to).isSymLink());
    }
}

void TestFiles::removeLocal()
{
    Bridge bridge;
    QVERIFY(bridge.removeLocal(fileUrl(at(QStringLiteral("nothing here")))));

    QVERIFY(writeAll(at(QStringLiteral("one.txt")), "1"));
    QVERIFY(bridge.removeLocal(fileUrl(at(QStringLiteral("one.txt")))));
    QVERIFY(!QFileInfo::exists(at(QStringLiteral("one.txt"))));

    QVERIFY(writeAll(at(QStringLiteral("tree/a/b/c.txt")), "c"));
    QVERIFY(writeAll(at(QStringLiteral("tree/.hidden")), "h"));
    QVERIFY(bridge.removeLocal(at(QStringLiteral("tree"))));
    QVERIFY(!QFileInfo::exists(at(QStringLiteral("tree"))));

    // A link to a folder: the link goes, what it points to stays whole.
    QVERIFY(writeAll(at(QStringLiteral("target/keep.txt")), "keep"));
    QVERIFY(QFile::link(at(QStringLiteral("target")), at(QStringLiteral("link"))));
    QVERIFY(bridge.removeLocal(fileUrl(at(QStringLiteral("link")))));
    QVERIFY(!QFileInfo(at(QStringLiteral("link"))).isSymLink());
    QCOMPARE(readAll(at(QStringLiteral("target/keep.txt"))), QByteArray("keep"));

    // Below the protected roots everything works as usual.
    const QString inHome = QDir::homePath() + QStringLiteral("/site/page.html");
    QVERIFY(writeAll(inHome, "p"));
    QVERIFY(bridge.removeLocal(fileUrl(QDir::homePath() + QStringLiteral("/site"))));
    QVERIFY(!QFileInfo::exists(inHome));
    const QString inTemp = bridge.getTempLocation() + QStringLiteral("/scratch/x");
    QVERIFY(writeAll(inTemp, "x"));
    QVERIFY(bridge.removeLocal(fileUrl(bridge.getTempLocation() + QStringLiteral("/scratch"))));
    QVERIFY(!QFileInfo::exists(inTemp));
}

void TestFiles::removeLocalRefusesRoots_data()
{
    QTest::addColumn<QString>("which");
    QTest::newRow("home") << "home";
    QTest::newRow("home, as a link") << "home link";
    QTest::newRow("home with a trailing slash") << "home/";
    QTest::newRow("folder that holds home") << "home parent";
    QTest::newRow("data") << "data";
    QTest::newRow("documents") << "documents";
    QTest::newRow("system temporary root") << "temp";
    QTest::newRow("own temporary folder") << "own temp";
}

void TestFiles::removeLocalRefusesRoots()
{
    QFETCH(QString, which);
    Bridge bridge;
    const QString data = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QString documents = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
    QVERIFY(QDir().mkpath(data));
    QVERIFY(QDir().mkpath(documents));
    // Every root carries a marker that must survive.
    const QStringList roots = { QDir::homePath(), data, documents, QDir::tempPath(), bridge.getTempLocation() };
    for (const QString &root : roots)
        QVERIFY(writeAll(root + QStringLiteral("/marker"), "m"));

    QString path;
    if (which == QLatin1String("home"))
        path = QDir::homePath();
    else if (which == QLatin1String("home link")) {
        // The link itself may go; it is the home folder's content that must stay.
        path = at(QStringLiteral("home-link"));
        QVERIFY(QFile::link(QDir::homePath(), path));
    } else if (which == QLatin1String("home/"))
        path = QDir::homePath() + QLatin1Char('/');
    else if (which == QLatin1String("home parent"))
        path = QFileInfo(QDir::homePath()).absolutePath();
    else if (which == QLatin1String("data"))
        path = data;
    else if (which == QLatin1String("documents"))
        path = documents;
    else if (which == QLatin1String("temp"))
        path = QDir::tempPath();
    else
        path = bridge.getTempLocation();

    const bool removed = bridge.removeLocal(fileUrl(path));
    QCOMPARE(removed, which == QLatin1String("home link"));
    for (const QString &root : roots)
        QCOMPARE(readAll(root + QStringLiteral("/marker")), QByteArray("m"));
}

// Asking for "/" must never be tried on the real root: a child process asks
// inside a chroot to the work folder, where "/" is that folder.
void TestFiles::removeLocalRefusesFileSystemRoot()
{
    Bridge bridge;
    QVERIFY(writeAll(at(QStringLiteral("marker")), "m"));
    const QByteArray jail = QFile::encodeName(work->path());
    const int status = runInChild([&] {
        {
            // Making the jail needs root; the slot itself runs as the user.
            TestEnv::RootScope root;
            if (!root.ok() || chroot(jail.constData()) != 0 || chdir("/") != 0)
                return childCannotSetUp;
        }
        return bridge.removeLocal(QStringLiteral("file:///")) ? 1 : 0;
    });
    if (status == childCannotSetUp)
        QSKIP("chroot needs root; the refusal of \"/\" is not exercised");
    QCOMPARE(status, 0);
    QCOMPARE(readAll(at(QStringLiteral("marker"))), QByteArray("m"));
}

void TestFiles::isExistsLocal()
{
    Bridge bridge;
    QVERIFY(writeAll(at(QStringLiteral("f.txt")), "f"));
    QVERIFY(bridge.isExistsLocal(fileUrl(at(QStringLiteral("f.txt")))));
    QVERIFY(bridge.isExistsLocal(at(QStringLiteral("f.txt"))));
    QVERIFY(bridge.isExistsLocal(fileUrl(work->path())));
    QVERIFY(!bridge.isExistsLocal(fileUrl(at(QStringLiteral("none")))));
    QVERIFY(bridge.isExistsLocal(QStringLiteral("qrc:/")));
}

void TestFiles::dirList_data()
{
    QTest::addColumn<QString>("folder");
    QTest::addColumn<QString>("patterns");
    QTest::addColumn<int>("filter");
    QTest::addColumn<bool>("recursive");
    QTest::addColumn<QStringList>("expected");

    const QStringList allFiles = { "a.png", "b.jpg", "c.PNG", "d.txt", "sub/e.png", "sub/deep/f.jpg" };
    QTest::newRow("defaults: every file, recursive") << "tree" << "" << 1 << true << allFiles;
    QTest::newRow("filter 0 counts as 1") << "tree" << "" << 0 << true << allFiles;
    QTest::newRow("two patterns, this folder only")
            << "tree" << "*.png;*.jpg" << 1 << false << QStringList { "a.png", "b.jpg" };
    QTest::newRow("two patterns, recursive")
            << "tree" << "*.png;*.jpg" << 1 << true
            << QStringList { "a.png", "b.jpg", "sub/e.png", "sub/deep/f.jpg" };
    QTest::newRow("patterns are case-sensitive")
            << "tree" << "*.PNG" << 1 << true << QStringList { "c.PNG" };
    QTest::newRow("empty part matches nothing") << "tree" << "*.txt;" << 1 << true << QStringList { "d.txt" };
    QTest::newRow("folders only") << "tree" << "" << 2 << true << QStringList { "sub", "sub/deep" };
    QTest::newRow("files and folders, one level")
            << "tree" << "" << 3 << false << QStringList { "a.png", "b.jpg", "c.PNG", "d.txt", "sub" };
    QTest::newRow("empty folder") << "empty" << "" << 1 << true << QStringList();
    QTest::newRow("missing folder") << "missing" << "" << 3 << true << QStringList();
}

void TestFiles::dirList()
{
    QFETCH(QString, folder);
    QFETCH(QString, patterns);
    QFETCH(int, filter);
    QFETCH(bool, recursive);
    QFETCH(QStringList, expected);
    Bridge bridge;
    for (const char *name : { "a.png", "b.jpg", "c.PNG", "d.txt", "sub/e.png", "sub/deep/f.jpg",
                              ".hidden.png", ".hiddendir/g.png" })
        QVERIFY(writeAll(at(QStringLiteral("tree/") + QLatin1String(name)), "x"));
    QVERIFY(QDir().mkpath(at(QStringLiteral("empty"))));

    const QString text = bridge.dirList(fileUrl(at(folder)), patterns, filter, recursive);
    QVERIFY(!text.endsWith(QLatin1Char('\n')));
    QStringList entries = text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
    entries.sort();
    expected.sort();
    QCOMPARE(entries, expected);
}

// Scripts call the shorter forms by name; each must reach the slot with the defaults.
void TestFiles::dirListOverloads()
{
    Bridge bridge;
    QVERIFY(writeAll(at(QStringLiteral("one.png")), "x"));
    QVERIFY(writeAll(at(QStringLiteral("sub/two.jpg")), "x"));
    const QString root = fileUrl(work->path());
    QString result;
    QVERIFY(QMetaObject::invokeMethod(&bridge, "dirList", Q_RETURN_ARG(QString, result), Q_ARG(QString, root)));
    QCOMPARE(result.split(QLatin1Char('\n')).size(), 2);
    QVERIFY(QMetaObject::invokeMethod(&bridge, "dirList", Q_RETURN_ARG(QString, result), Q_ARG(QString, root),
                                      Q_ARG(QString, QStringLiteral("*.png"))));
    QCOMPARE(result, QStringLiteral("one.png"));
    QVERIFY(QMetaObject::invokeMethod(&bridge, "dirList", Q_RETURN_ARG(QString, result), Q_ARG(QString, root),
                                      Q_ARG(QString, QString()), Q_ARG(int, 2)));
    QCOMPARE(result, QStringLiteral("sub"));
    int overloads = 0;
    for (int i = 0; i < bridge.metaObject()->methodCount(); ++i)
        overloads += bridge.metaObject()->method(i).name() == "dirList";
    QCOMPARE(overloads, 4);
}

void TestFiles::resourceFile()
{
    Bridge bridge;
    // A bundle of our own: content, and text cut at a zero byte.
    const QString bundleDir = at(QStringLiteral("bundle"));
    QVERIFY(writeAll(bundleDir + QStringLiteral("/web/index.html"), "<html>test page ✓</html>"));
    QVERIFY(writeAll(bundleDir + QStringLiteral("/cut.txt"), QByteArray("before\0after", 12)));
    QVERIFY(writeAll(bundleDir + QStringLiteral("/test.qrc"),
                     "<RCC><qresource prefix=\"/\"><file>web/index.html</file><file>cut.txt</file>"
                     "</qresource></RCC>"));
    const QString rcc = at(QStringLiteral("test.rcc"));
    QProcess tool;
    tool.setWorkingDirectory(bundleDir);
    tool.start(QStringLiteral("/usr/lib/qt5/bin/rcc"),
               { QStringLiteral("--binary"), QStringLiteral("test.qrc"), QStringLiteral("-o"), rcc });
    QVERIFY(tool.waitForFinished(30000));
    QCOMPARE(tool.exitCode(), 0);

    // "web/index.html" has no scheme, so it names a file of the page bundle that
    // is linked into the program, made from the source tree's page folder.
    if (registerWebBundle()) {
        const QByteArray page = readAll(QStringLiteral(QUILLARY_SOURCE_DIR "/web/index.html"));
        QVERIFY(page.contains("<"));
        QCOMPARE(bridge.getResourceFile(QVariant(QStringLiteral("web/index.html"))),
                 QString::fromUtf8(page.constData()));
    } else {
        qInfo("no page bundle linked in: checking against the test's own bundle at the root");
        QVERIFY(QResource::registerResource(rcc, QString()));
        QCOMPARE(bridge.getResourceFile(QVariant(QStringLiteral("web/index.html"))),
                 QStringLiteral("<html>test page ✓</html>"));
    }

    QVERIFY(QResource::registerResource(rcc, QStringLiteral("/own")));
    QCOMPARE(bridge.getResourceFile(QStringLiteral("own/cut.txt")), QStringLiteral("before"));
    QCOMPARE(bridge.getResourceFile(QStringLiteral("qrc:/own/web/index.html")),
             QStringLiteral("<html>test page ✓</html>"));

    QTest::ignoreMessage(QtWarningMsg, "file open error");
    QCOMPARE(bridge.getResourceFile(QStringLiteral("web/no-such-file.html")), QString());
}

void TestFiles::md5Base64_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("digest");
    QTest::newRow("empty") << QByteArray() << "1B2M2Y8AsgTpgAmY7PhCfg==";
    QTest::newRow("abc") << QByteArray("abc") << "kAFQmDzST7DWlj99KOF/cg==";
    QTest::newRow("fox") << QByteArray("The quick brown fox jumps over the lazy dog")
                         << "nhB9nTcrtoJr2B01QqQZ1g==";
}

void TestFiles::md5Base64()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, digest);
    Bridge bridge;
    QVERIFY(writeAll(at(QStringLiteral("f.bin")), content));
    QCOMPARE(bridge.md5_base64(fileUrl(at(QStringLiteral("f.bin")))), digest);
    QCOMPARE(bridge.md5_base64(fileUrl(at(QStringLiteral("missing.bin")))), QString());
}

void TestFiles::tempFiles()
{
    QString location;
    {
        Bridge bridge;
        location = bridge.getTempLocation();
        QVERIFY(QFileInfo(location).isDir());
        QVERIFY(!location.startsWith(QLatin1String("file:")));

        const QRegularExpression shape(QStringLiteral(
                "^\\d{4}-\\d{2}-\\d{2}_\\d{2}-\\d{2}-\\d{2}(_\\d+)?\\.tmp$"));
        // Files already named for this second and the next are left alone.
        QStringList taken;
        const QDateTime now = QDateTime::currentDateTime();
        for (const QDateTime &when : { now, now.addSecs(1) }) {
            taken << location + QLatin1Char('/') + when.toString(QStringLiteral("yyyy-MM-dd_HH-mm-ss"))
                    + QStringLiteral(".tmp");
            QVERIFY(writeAll(taken.last(), "unread answer"));
        }
        const QString next = urlToLocalPath(bridge.saveTempFile("newer"));
        QVERIFY(!taken.contains(next));
        QCOMPARE(readAll(next), QByteArray("newer"));
        for (const QString &path : qAsConst(taken))
            QCOMPARE(readAll(path), QByteArray("unread answer"));

        // Written within one second, yet each keeps its own file and bytes.
        QStringList urls;
        for (int i = 0; i < 5; ++i) {
            const QString url = bridge.saveTempFile(QByteArray("answer ") + QByteArray::number(i));
            QVERIFY(!url.isEmpty());
            urls << url;
        }
        QCOMPARE(QSet<QString>(urls.begin(), urls.end()).size(), 5);

        for (int i = 0; i < 5; ++i) {
            const QString path = urlToLocalPath(urls.at(i));
            QCOMPARE(QFileInfo(path).absolutePath(), location);
            QVERIFY2(shape.match(QFileInfo(path).fileName()).hasMatch(), qPrintable(path));
            QCOMPARE(readAll(path), QByteArray("answer ") + QByteArray::number(i));
        }
        QVERIFY(urls.first().startsWith(QLatin1String("file:///")));
    }
    QVERIFY(!QFileInfo::exists(location));   // gone with the Bridge
}

void TestFiles::tempFileWriteFailure()
{
    Bridge bridge;
    const int before = entriesOf(bridge.getTempLocation()).size();
    for (const int size : { 512 * 1024, 4003 }) {
        FileSizeCap cap(size > 16 * 1024 ? 16 * 1024 : 1000);
        QVERIFY(cap.active);
        QCOMPARE(bridge.saveTempFile(QByteArray(size, 'd')), QString());
    }
    // Neither a partial file nor the reserved name is left behind.
    QCOMPARE(entriesOf(bridge.getTempLocation()).size(), before);
}

void TestFiles::openFileDialog_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<bool>("accept");
    QTest::newRow("file, accepted") << "Images (*.png *.jpg)" << true;
    QTest::newRow("file, cancelled") << "Images (*.png *.jpg)" << false;
    QTest::newRow("folder, accepted") << "dir" << true;
    QTest::newRow("folder, cancelled") << "dir" << false;
}

void TestFiles::openFileDialog()
{
    QFETCH(QString, filter);
    QFETCH(bool, accept);
    Bridge bridge;
    const bool folder = filter == QLatin1String("dir");
    QVERIFY(writeAll(at(QStringLiteral("start/pick me.png")), "png"));
    QVERIFY(QDir().mkpath(at(QStringLiteral("start/chosen folder"))));
    const QString start = at(QStringLiteral("start"));
    const QString pick = folder ? at(QStringLiteral("start/chosen folder")) : at(QStringLiteral("start/pick me.png"));

    QString seenCaption;
    QString seenDirectory;
    QStringList seenFilters;
    bool seenDirsOnly = false;
    int polls = 0;
    QTimer poll;
    poll.setInterval(50);
    connect(&poll, &QTimer::timeout, [&] {
        if (++polls > 200) {   // ten seconds: give up rather than hang
            poll.stop();
            return;
        }
        QFileDialog *dialog = nullptr;
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            if (auto *candidate = qobject_cast<QFileDialog *>(widget); candidate && candidate->isVisible())
                dialog = candidate;
        }
        if (!dialog)
            return;
        poll.stop();
        seenCaption = dialog->windowTitle();
        seenDirectory = dialog->directory().absolutePath();
        seenFilters = dialog->nameFilters();
        seenDirsOnly = dialog->testOption(QFileDialog::ShowDirsOnly);
        if (accept) {
            // Typed as a user would: the list is filled in the background, so
            // selecting from it may not have an entry yet.
            auto *name = dialog->findChild<QLineEdit *>(QStringLiteral("fileNameEdit"));
            if (name)
                name->setText(QFileInfo(pick).fileName());
            else
                dialog->selectFile(pick);
            static_cast<QDialog *>(dialog)->accept();   // QFileDialog::accept, which is protected
            if (dialog->isVisible())
                dialog->reject();   // not taken: end it, the result check reports
        } else {
            dialog->reject();
        }
    });
    poll.start();
    const QString result = bridge.openFileDialog(QStringLiteral("Choose"), fileUrl(start), filter);
    QVERIFY2(polls <= 200, "no file dialog appeared");
    QCOMPARE(seenCaption, QStringLiteral("Choose"));
    QCOMPARE(seenDirectory, start);
    QCOMPARE(seenDirsOnly, folder);
    if (!folder)
        QCOMPARE(seenFilters, QStringList { filter });
    QCOMPARE(result, accept ? localPathToUrl(pick) : QString());
}

void TestFiles::onErrorWindow()
{
    Bridge bridge;
    for (bool flag : { true, false }) {
        bool cont = flag;
        bridge.onErrorWindow(QStringLiteral("some error"), &cont);
        QCOMPARE(cont, flag);
    }
}

// A pipe nobody writes to would block the window for ever; a folder has no bytes.
void TestFiles::readsRefuseNonPlainFiles()
{
    Bridge bridge;
    const QString pipe = at(QStringLiteral("pipe"));
    QCOMPARE(mkfifo(QFile::encodeName(pipe).constData(), 0600), 0);
    QVERIFY(QDir().mkpath(at(QStringLiteral("folder"))));
    for (const QString &path : { pipe, at(QStringLiteral("folder")) }) {
        const QString url = fileUrl(path);
        QCOMPARE(bridge.loadLocalFile(url), QString());
        QCOMPARE(bridge.loadLocalBase64(url), QString());
        QCOMPARE(bridge.md5_base64(url), QString());
        QTest::ignoreMessage(QtWarningMsg, "file open error");
        QCOMPARE(bridge.getResourceFile(url), QString());
    }
    QCOMPARE(bridge.copyLocal(fileUrl(pipe), fileUrl(at(QStringLiteral("copy")))), QString());
    QVERIFY(!QFileInfo::exists(at(QStringLiteral("copy"))));
}

void TestFiles::pipesNeverHoldTheWindow_data()
{
    QTest::addColumn<QString>("slot");
    for (const char *slot : { "download", "download2", "tmpAppendFile", "resizeImage", "transformImage",
                              "unzip", "registerRcc", "getProjectFile" })
        QTest::newRow(slot) << QString::fromLatin1(slot);
}

// Every slot that reads a file a script names answers at once for a pipe,
// instead of waiting until (if ever) something writes to it.
void TestFiles::pipesNeverHoldTheWindow()
{
    QFETCH(QString, slot);
    Bridge bridge;
    const QString pipe = at(QStringLiteral("pipe.json"));
    QVERIFY(TestPipe::make(pipe));
    const QString url = fileUrl(pipe);

    TestPipe::Feeder feeder(pipe, "x");
    QString result;
    if (slot == QLatin1String("download"))
        result = bridge.download(url, QVariantMap());
    else if (slot == QLatin1String("download2"))
        result = bridge.download2(url, QVariantMap());
    else if (slot == QLatin1String("tmpAppendFile"))
        bridge.tmpAppendFile(url);
    else if (slot == QLatin1String("resizeImage"))
        result = bridge.resizeImage(url, 10, 10);
    else if (slot == QLatin1String("transformImage"))
        result = bridge.transformImage(url, 10, 10);
    else if (slot == QLatin1String("unzip"))
        result = bridge.unzip(url, fileUrl(at(QStringLiteral("out")))) ? "true" : "";
    else if (slot == QLatin1String("registerRcc"))
        bridge.registerRcc(url);
    else if (slot == QLatin1String("getProjectFile"))
        result = bridge.getProjectFile(url);
    QVERIFY2(!feeder.stop(), "the slot waited for the pipe");
    QCOMPARE(result, QString());
}

// 1 GiB would make a string of more characters than one can hold, as text or
// as Base64; the slots fail instead of ending the program.
void TestFiles::textTooLargeForAStringFails()
{
    Bridge bridge;
    const QString path = at(QStringLiteral("huge.txt"));
    {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(qint64(1) << 30));   // sparse
    }
    const QString url = fileUrl(path);
    QCOMPARE(bridge.loadLocalFile(url), QString());
    QCOMPARE(bridge.loadLocalBase64(url), QString());
    QTest::ignoreMessage(QtWarningMsg, "file open error");
    QCOMPARE(bridge.getResourceFile(url), QString());
}

QUILLARY_TEST_MAIN(TestFiles)
#include "tst_files.moc"
