#include "testmain.h"

#include "bridge.h"
#include "qzipreader.h"
#include "qzipwriter.h"
#include "filesizecap.h"
#include "testpipe.h"
#include "ziptestutil.h"

#include <QRegularExpression>

using namespace ZipTest;

class TestZipBridge : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void emptyArguments_data();
    void emptyArguments();
    void emptyFolder();
    void siteRoundTrip();
    void zipTwiceReplaces();
    void singleFile();
    void archiveInsideSource();
    void fileZippedOntoItselfIsKept();
    void unzipFailures_data();
    void unzipFailures();
    void unzipWithoutFolderEntries();
    void zipFailsOnUnwritableArchive_data();
    void zipFailsOnUnwritableArchive();
    void failedZipKeepsTheOldArchive();
    void zipOfMissingSource();
    void linkChains_data();
    void linkChains();

private:
    Bridge bridge;
    QTemporaryDir *work = nullptr;
    QString root;
};

void TestZipBridge::cleanup()
{
    delete work;
    work = nullptr;
}

void TestZipBridge::init()
{
    delete work;
    work = new QTemporaryDir;
    root = work->path();
}

void TestZipBridge::emptyArguments_data()
{
    QTest::addColumn<bool>("unzipping");
    QTest::addColumn<QString>("first");
    QTest::addColumn<QString>("second");
    QTest::newRow("unzip, no destination") << true << "a.zip" << "";
    QTest::newRow("unzip, no archive") << true << "" << "out";
    QTest::newRow("zip, no archive") << false << "src" << "";
    QTest::newRow("zip, no source") << false << "" << "out/a.zip";
}

void TestZipBridge::emptyArguments()
{
    QFETCH(bool, unzipping);
    QFETCH(QString, first);
    QFETCH(QString, second);
    const auto at = [this](const QString &p) { return p.isEmpty() ? p : root + QLatin1Char('/') + p; };
    QVERIFY(write(root + QStringLiteral("/src/f"), "x"));
    QVERIFY(bridge.zip(root + QStringLiteral("/src"), root + QStringLiteral("/a.zip")));
    const QStringList before = treeOf(root);
    QVERIFY(!(unzipping ? bridge.unzip(at(first), at(second)) : bridge.zip(at(first), at(second))));
    QCOMPARE(treeOf(root), before);
}

void TestZipBridge::emptyFolder()
{
    QVERIFY(QDir().mkpath(root + QStringLiteral("/empty")));
    const QString archive = root + QStringLiteral("/out/empty.zip");
    QVERIFY(bridge.zip(root + QStringLiteral("/empty"), archive));
    QCOMPARE(QFileInfo(archive).size(), qint64(22));
    QVERIFY(bridge.unzip(archive, root + QStringLiteral("/unpacked")));
    QCOMPARE(treeOf(root + QStringLiteral("/unpacked")), QStringList());
}

void TestZipBridge::siteRoundTrip()
{
    const QString site = root + QStringLiteral("/site");
    QVERIFY(write(site + QStringLiteral("/index.html"), "<html></html>"));
    QVERIFY(write(site + QStringLiteral("/assets/style.css"), QByteArray(5000, 'c')));
    QVERIFY(write(site + QStringLiteral("/assets/img/logo.png"), QByteArray(100, '\x89')));
    QVERIFY(write(site + QStringLiteral("/.hidden"), "not packed"));
    QVERIFY(QDir().mkpath(site + QStringLiteral("/emptydir")));
    QVERIFY(QFile::setPermissions(site + QStringLiteral("/assets"),
                                  QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                      | QFile::ExeGroup));
    const QString archive = root + QStringLiteral("/site.zip");
    QVERIFY(bridge.zip(site, archive));

    QZipReader reader(archive);
    QStringList names;
    for (const QZipReader::FileInfo &info : reader.listEntries()) {
        names.append(info.entryPath);
        if (info.isFolder)
            QCOMPARE(int(info.accessRights) & 0x7077, 0x7051);
    }
    names.sort();
    QCOMPARE(names, QStringList({ "site/assets", "site/assets/img", "site/assets/img/logo.png",
                                  "site/assets/style.css", "site/emptydir", "site/index.html" }));
    // A file carries the rights of the folder that holds it.
    for (const QZipReader::FileInfo &info : reader.listEntries()) {
        if (info.entryPath == QLatin1String("site/assets/style.css"))
            QCOMPARE(int(info.accessRights) & 0x7077, 0x7050);
    }

    const QString out = root + QStringLiteral("/out");
    QVERIFY(bridge.unzip(archive, out));
    QCOMPARE(read(out + QStringLiteral("/site/index.html")), QByteArray("<html></html>"));
    QCOMPARE(read(out + QStringLiteral("/site/assets/style.css")), QByteArray(5000, 'c'));
    QCOMPARE(read(out + QStringLiteral("/site/assets/img/logo.png")), QByteArray(100, '\x89'));
    QVERIFY(QFileInfo(out + QStringLiteral("/site/emptydir")).isDir());
    QVERIFY(!QFileInfo::exists(out + QStringLiteral("/site/.hidden")));
}

void TestZipBridge::zipTwiceReplaces()
{
    const QString archive = root + QStringLiteral("/a.zip");
    QVERIFY(write(root + QStringLiteral("/one/a.txt"), QByteArray(10000, 'a')));
    QVERIFY(write(root + QStringLiteral("/two/b.txt"), "b"));
    QVERIFY(bridge.zip(root + QStringLiteral("/one"), archive));
    QVERIFY(bridge.zip(root + QStringLiteral("/two"), archive));
    QZipReader reader(archive);
    QCOMPARE(reader.entryCount(), 1);
    QCOMPARE(reader.entryAt(0).entryPath, QStringLiteral("two/b.txt"));
}

void TestZipBridge::singleFile()
{
    QVERIFY(write(root + QStringLiteral("/deep/down/note.txt"), "a note"));
    const QString archive = root + QStringLiteral("/note.zip");
    QVERIFY(bridge.zip(root + QStringLiteral("/deep/down/note.txt"), archive));
    QZipReader reader(archive);
    QCOMPARE(reader.entryCount(), 1);
    QCOMPARE(reader.entryAt(0).entryPath, QStringLiteral("note.txt"));
    QCOMPARE(int(reader.entryAt(0).accessRights) & 0x7077, 0x6000);
    QCOMPARE(reader.fileData(QStringLiteral("note.txt")), QByteArray("a note"));
}

void TestZipBridge::archiveInsideSource()
{
    QVERIFY(write(root + QStringLiteral("/site/index.html"), "page"));
    const QString archive = root + QStringLiteral("/site/site.zip");
    QVERIFY(bridge.zip(root + QStringLiteral("/site"), archive));
    // Again, now that an older archive lies there as well.
    QVERIFY(bridge.zip(root + QStringLiteral("/site"), archive));
    QZipReader reader(archive);
    QStringList names;
    for (const QZipReader::FileInfo &info : reader.listEntries())
        names.append(info.entryPath);
    QCOMPARE(names, QStringList { "site/index.html" });
}

void TestZipBridge::fileZippedOntoItselfIsKept()
{
    const QString note = root + QStringLiteral("/note.txt");
    QVERIFY(write(note, "a note"));
    QVERIFY(QFile::link(note, root + QStringLiteral("/link.zip")));
    for (const QString &archive : { note, root + QStringLiteral("/link.zip") }) {
        QVERIFY(!bridge.zip(note, archive));
        QCOMPARE(read(note), QByteArray("a note"));
    }
}

void TestZipBridge::unzipFailures_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("warning");
    QTest::newRow("missing") << QByteArray() << QString();
    QTest::newRow("not a zip") << QByteArray("plain text, no archive") << "QZip: not a zip file!";
}

void TestZipBridge::unzipFailures()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, warning);
    const QString archive = root + QStringLiteral("/package.zip");
    if (!bytes.isEmpty())
        QVERIFY(write(archive, bytes));
    if (!warning.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QVERIFY(!bridge.unzip(archive, root + QStringLiteral("/out")));
    QCOMPARE(treeOf(root + QStringLiteral("/out")), QStringList());
}

void TestZipBridge::unzipWithoutFolderEntries()
{
    const QString archive = root + QStringLiteral("/addon.zip");
    QVERIFY(write(archive, makeArchive([](QZipWriter &w) {
        w.addFileFromBytes(QStringLiteral("params.json"), "{}");
        w.addFileFromBytes(QStringLiteral("js/main/addon.js"), "run();");
    })));
    QVERIFY(bridge.unzip(archive, root + QStringLiteral("/tmp/addon")));
    QCOMPARE(read(root + QStringLiteral("/tmp/addon/params.json")), QByteArray("{}"));
    QCOMPARE(read(root + QStringLiteral("/tmp/addon/js/main/addon.js")), QByteArray("run();"));
}

void TestZipBridge::zipFailsOnUnwritableArchive_data()
{
    QTest::addColumn<QString>("target");
    QTest::newRow("a folder") << "folder";
    QTest::newRow("a device") << "device";
    QTest::newRow("a named pipe") << "pipe";
}

void TestZipBridge::zipFailsOnUnwritableArchive()
{
    QFETCH(QString, target);
    QVERIFY(write(root + QStringLiteral("/src/f"), "x"));
    QString archive = root + QStringLiteral("/taken.zip");
    int reader = -1;
    if (target == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(archive));
    } else if (target == QLatin1String("device")) {
        if (!QFileInfo::exists(QStringLiteral("/dev/full")))
            QFAIL("/dev/full is needed to show write failures");
        archive = QStringLiteral("/dev/full");
    } else {
        QVERIFY(TestPipe::make(archive));
        // A reader is there, so a writer that opened the pipe would not hang but be seen.
        reader = ::open(QFile::encodeName(archive).constData(), O_RDONLY | O_NONBLOCK);
        QVERIFY(reader >= 0);
    }
    const QFileInfo before(archive);
    QVERIFY(!bridge.zip(root + QStringLiteral("/src"), archive));
    const QFileInfo after(archive);
    QCOMPARE(after.isDir(), before.isDir());
    QCOMPARE(after.isFile(), false);
    if (reader >= 0) {
        char byte = 0;
        QCOMPARE(::read(reader, &byte, 1), ssize_t(0));
        ::close(reader);
    }
    if (target != QLatin1String("device"))
        QCOMPARE(treeOf(root), QStringList({ "src", "src/f", "taken.zip" }));
}

void TestZipBridge::failedZipKeepsTheOldArchive()
{
    const QString archive = root + QStringLiteral("/site.zip");
    QVERIFY(write(root + QStringLiteral("/site/index.html"), "old page"));
    QVERIFY(bridge.zip(root + QStringLiteral("/site"), archive));
    const QByteArray old = read(archive);
    QVERIFY(write(root + QStringLiteral("/site/index.html"), "new page"));
    QVERIFY(write(root + QStringLiteral("/site/big.bin"), randomBytes(3 * 1024 * 1024)));
    {
        // As a full disk would: the archive cannot grow past 1 MiB.
        FileSizeCap cap(1024 * 1024);
        QVERIFY(cap.active);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: writing the archive failed")));
        QVERIFY(!bridge.zip(root + QStringLiteral("/site"), archive));
    }
    QCOMPARE(read(archive), old);
    QCOMPARE(treeOf(root), QStringList({ "site", "site.zip", "site/big.bin", "site/index.html" }));
    // Unpacking it still gives the former site.
    QVERIFY(bridge.unzip(archive, root + QStringLiteral("/out")));
    QCOMPARE(read(root + QStringLiteral("/out/site/index.html")), QByteArray("old page"));
}

void TestZipBridge::zipOfMissingSource()
{
    const QString archive = root + QStringLiteral("/out/missing.zip");
    QVERIFY(!bridge.zip(root + QStringLiteral("/nothing-here"), archive));
    QVERIFY(!QFileInfo::exists(archive));
}

namespace {

struct LinkEntry
{
    QString path;
    QString target;
};

QString repeat(const QString &text, int times)
{
    QString out;
    for (int i = 0; i < times; ++i)
        out += text;
    return out;
}

} // namespace

Q_DECLARE_METATYPE(QList<LinkEntry>)

void TestZipBridge::linkChains_data()
{
    // Each link alone stays inside by its text; together they lead out. "%S"
    // stands for the path of the secret file outside, without its leading "/".
    QTest::addColumn<QList<LinkEntry>>("links");
    QTest::addColumn<bool>("result");
    QTest::addColumn<QString>("probe");

    QList<LinkEntry> up;
    up.append(LinkEntry { "a/b/c/d/e/f/g/h/up", repeat("../", 7) + ".." });
    up.append(LinkEntry { "params.json", "a/b/c/d/e/f/g/h/up/" + repeat("../", 8) + "%S" });
    QTest::newRow("deep link to the top, then up and out") << up << false << "params.json";

    QList<LinkEntry> chain;
    chain.append(LinkEntry { "u0", "." });
    for (int i = 1; i <= 13; ++i)
        chain.append(LinkEntry { QStringLiteral("u%1").arg(i), QStringLiteral("u%1/..").arg(i - 1) });
    chain.append(LinkEntry { "params.json", "u13/%S" });
    QTest::newRow("thirteen links, each one level up") << chain << false << "params.json";

    QList<LinkEntry> reversed = chain;
    std::reverse(reversed.begin(), reversed.end());
    QTest::newRow("the same chain, last link first") << reversed << false << "params.json";

    // Chains that stay inside are still made, in whatever order they come.
    QList<LinkEntry> inside;
    inside.append(LinkEntry { "top", "deep/er" });
    inside.append(LinkEntry { "deep/er", "../real" });
    inside.append(LinkEntry { "deep/back", "../top/../real/file.txt" });
    QTest::newRow("chain inside") << inside << true << "deep/back";
}

void TestZipBridge::linkChains()
{
    QFETCH(QList<LinkEntry>, links);
    QFETCH(bool, result);
    QFETCH(QString, probe);
    const QString secret = root + QStringLiteral("/secret.txt");
    QVERIFY(write(secret, "secret"));
    const QString archive = root + QStringLiteral("/hostile.zip");
    QVERIFY(write(archive, makeArchive([&](QZipWriter &w) {
        w.addFileFromBytes(QStringLiteral("real/file.txt"), "inside");
        for (const LinkEntry &link : links) {
            QString target = link.target;
            target.replace(QStringLiteral("%S"), secret.mid(1));
            w.addLinkEntry(link.path, target);
        }
        // A file after the links, meant to be written through them.
        w.addFileFromBytes(QStringLiteral("u13") + secret.left(secret.lastIndexOf(QLatin1Char('/')))
                               + QStringLiteral("/written.txt"),
                           "through");
    })));
    const QString out = root + QStringLiteral("/deep/one/two/three/out");
    if (!result)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: refusing entry")));
    QCOMPARE(bridge.unzip(archive, out), result);

    // Nothing outside can be read through what was made, and nothing was written outside.
    const QString probed = out + QLatin1Char('/') + probe;
    if (result) {
        QCOMPARE(read(probed), QByteArray("inside"));
    } else {
        QCOMPARE(read(probed), QByteArray());
        QVERIFY(QFileInfo(probed).canonicalFilePath().isEmpty()
                || QFileInfo(probed).canonicalFilePath().startsWith(QFileInfo(out).canonicalFilePath()));
    }
    QCOMPARE(read(secret), QByteArray("secret"));
    for (const QString &p : treeOf(root)) {
        QVERIFY2(p == QLatin1String("secret.txt") || p == QLatin1String("hostile.zip")
                     || QStringLiteral("deep/one/two/three/out").startsWith(p)
                     || p.startsWith(QLatin1String("deep/one/two/three/out/")),
                 qPrintable(p));
        const QFileInfo info(root + QLatin1Char('/') + p);
        if (info.isSymLink() && !info.canonicalFilePath().isEmpty())
            QVERIFY2(info.canonicalFilePath().startsWith(QFileInfo(out).canonicalFilePath()), qPrintable(p));
    }
}

QUILLARY_TEST_MAIN(TestZipBridge)
#include "tst_zipbridge.moc"
