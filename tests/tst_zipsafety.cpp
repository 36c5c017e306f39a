#include "testmain.h"

#include "qzipreader.h"
#include "qzipwriter.h"
#include "ziptestutil.h"

#include <QBuffer>
#include <QRegularExpression>

using namespace ZipTest;

// Archives from anywhere: nothing may land outside the destination folder,
// and nothing the headers claim may size memory or disk use.
class TestZipSafety : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void traversal_data();
    void traversal();
    void linkTargets_data();
    void linkTargets();
    void existingLinkNotFollowed();
    void linkChainNotFollowed();
    void missingFolders();
    void readOnlyFolder();
    void overlappingBomb();
    void corpus_data();
    void corpus();

private:
    QTemporaryDir *sandbox = nullptr;
    QString outside;
    QString dest;
};

void TestZipSafety::cleanup()
{
    delete sandbox;
    sandbox = nullptr;
}

void TestZipSafety::init()
{
    delete sandbox;
    sandbox = new QTemporaryDir;
    // dest lies two levels down so that "../" and "../../" both stay in the sandbox.
    outside = sandbox->path();
    dest = outside + QStringLiteral("/a/dest");
    QVERIFY(QDir().mkpath(dest));
}

void TestZipSafety::traversal_data()
{
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QStringList>("expected");
    QTest::addColumn<bool>("result");
    QTest::newRow("../x") << QStringList { "../x" } << QStringList { "x" } << true;
    QTest::newRow("a/../../x") << QStringList { "a/../../x", "ok" } << QStringList { "ok" } << false;
    QTest::newRow("a/../x") << QStringList { "sub/../x" } << QStringList() << false;
    QTest::newRow("/abs/x") << QStringList { "/abs/x" } << QStringList { "abs", "abs/x" } << true;
    QTest::newRow("backslash up") << QStringList { "sub\\..\\..\\x" } << QStringList() << false;
    QTest::newRow("drive") << QStringList { "C:/x", "C:x" } << QStringList() << false;
    QTest::newRow("nul byte") << QStringList { QStringLiteral("bad") + QChar(0) + QStringLiteral("name") }
                              << QStringList() << false;
    QTest::newRow("control character") << QStringList { "bad\nname" } << QStringList() << false;
    QTest::newRow("dots in a name are fine") << QStringList { "a..b/c..", "d/..e" }
                                             << QStringList { "a..b", "a..b/c..", "d", "d/..e" } << true;
}

void TestZipSafety::traversal()
{
    QFETCH(QStringList, names);
    QFETCH(QStringList, expected);
    QFETCH(bool, result);
    const QByteArray zip = makeArchive([&](QZipWriter &w) {
        for (const QString &name : names)
            w.addFileFromBytes(name, "payload");
    });
    QVERIFY(write(outside + QStringLiteral("/t.zip"), zip));
    QZipReader reader(outside + QStringLiteral("/t.zip"));
    if (!result)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: refusing entry")));
    QCOMPARE(reader.extractTree(dest), result);
    QCOMPARE(treeOf(dest), expected);
    QStringList everything { "a", "a/dest", "t.zip" };
    for (const QString &p : expected)
        everything.append(QStringLiteral("a/dest/") + p);
    everything.sort();
    QCOMPARE(treeOf(outside), everything);
}

void TestZipSafety::linkTargets_data()
{
    QTest::addColumn<QString>("link");
    QTest::addColumn<QString>("target");
    QTest::addColumn<bool>("allowed");
    QTest::newRow("to root") << "link" << "/" << false;
    QTest::newRow("absolute") << "link" << "/etc/passwd" << false;
    QTest::newRow("up") << "link" << ".." << false;
    QTest::newRow("up from sub") << "sub/link" << "../../x" << false;
    QTest::newRow("backslash up") << "link" << "..\\x" << false;
    QTest::newRow("drive") << "link" << "C:/x" << false;
    QTest::newRow("inside") << "sub/link" << "../file" << true;
    QTest::newRow("self folder") << "link" << "." << true;
}

void TestZipSafety::linkTargets()
{
    QFETCH(QString, link);
    QFETCH(QString, target);
    QFETCH(bool, allowed);
    // The link comes first and a file "through" it follows, as hostile archives do.
    const QByteArray zip = makeArchive([&](QZipWriter &w) {
        w.addLinkEntry(link, target);
        w.addFileFromBytes(link + QStringLiteral("/x"), "through the link");
        w.addFileFromBytes(QStringLiteral("file"), "plain");
    });
    QVERIFY(write(outside + QStringLiteral("/t.zip"), zip));
    QZipReader reader(outside + QStringLiteral("/t.zip"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: refusing entry")));
    // Files come before links, so link/x made a real folder and the link itself cannot be made.
    QVERIFY(!reader.extractTree(dest));
    QVERIFY(!QFileInfo(dest + QLatin1Char('/') + link).isSymLink());
    QCOMPARE(read(dest + QLatin1Char('/') + link + QStringLiteral("/x")), QByteArray("through the link"));
    QCOMPARE(treeOf(outside).filter(QRegularExpression(QStringLiteral("^(?!a/dest|a$|t\\.zip$)"))), QStringList());

    // Alone, an inside link is made and an outside one refused.
    const QByteArray single = makeArchive([&](QZipWriter &w) {
        w.addFileFromBytes(QStringLiteral("file"), "plain");
        w.addLinkEntry(link, target);
    });
    QVERIFY(write(outside + QStringLiteral("/s.zip"), single));
    const QString dest2 = outside + QStringLiteral("/a/dest2");
    QZipReader singleReader(outside + QStringLiteral("/s.zip"));
    if (!allowed)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: refusing entry")));
    QCOMPARE(singleReader.extractTree(dest2), allowed);
    QCOMPARE(QFileInfo(dest2 + QLatin1Char('/') + link).isSymLink(), allowed);
    if (allowed)
        QCOMPARE(QFileInfo(dest2 + QLatin1Char('/') + link).symLinkTarget(),
                 QFileInfo(QFileInfo(dest2 + QLatin1Char('/') + link).absolutePath() + QLatin1Char('/') + target)
                     .absoluteFilePath());
}

void TestZipSafety::existingLinkNotFollowed()
{
    // A link already in the destination is never written through.
    const QString elsewhere = outside + QStringLiteral("/elsewhere");
    QVERIFY(QDir().mkpath(elsewhere));
    QVERIFY(QFile::link(elsewhere, dest + QStringLiteral("/pre")));
    QVERIFY(QFile::link(elsewhere + QStringLiteral("/f"), dest + QStringLiteral("/prefile")));
    const QByteArray zip = makeArchive([](QZipWriter &w) {
        w.addDirectoryEntry(QStringLiteral("pre/sub"));
        w.addFileFromBytes(QStringLiteral("pre/x"), "x");
        w.addFileFromBytes(QStringLiteral("prefile"), "y");
    });
    QVERIFY(write(outside + QStringLiteral("/t.zip"), zip));
    QZipReader reader(outside + QStringLiteral("/t.zip"));
    for (int i = 0; i < 3; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: refusing entry")));
    QVERIFY(!reader.extractTree(dest));
    QCOMPARE(treeOf(elsewhere), QStringList());
}

void TestZipSafety::linkChainNotFollowed()
{
    // "a" points at the destination itself; "a/b" -> ".." looks inside on paper but is not.
    const QByteArray zip = makeArchive([](QZipWriter &w) {
        w.addLinkEntry(QStringLiteral("a"), QStringLiteral("."));
        w.addLinkEntry(QStringLiteral("a/b"), QStringLiteral(".."));
    });
    QVERIFY(write(outside + QStringLiteral("/t.zip"), zip));
    QZipReader reader(outside + QStringLiteral("/t.zip"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: refusing entry \"a/b\"")));
    QVERIFY(!reader.extractTree(dest));
    QVERIFY(QFileInfo(dest + QStringLiteral("/a")).isSymLink());
    QVERIFY(!QFileInfo(dest + QStringLiteral("/b")).isSymLink());
}

void TestZipSafety::missingFolders()
{
    const QByteArray zip = makeArchive([](QZipWriter &w) {
        w.addFileFromBytes(QStringLiteral("deep/er/still/file.txt"), "deep");
        w.addFileFromBytes(QStringLiteral("top.txt"), "top");
    });
    QVERIFY(write(outside + QStringLiteral("/t.zip"), zip));
    QZipReader reader(outside + QStringLiteral("/t.zip"));
    QVERIFY(reader.extractTree(dest));
    QCOMPARE(read(dest + QStringLiteral("/deep/er/still/file.txt")), QByteArray("deep"));
    QCOMPARE(read(dest + QStringLiteral("/top.txt")), QByteArray("top"));
}

void TestZipSafety::readOnlyFolder()
{
    // A folder without write rights still receives its files; its rights come last.
    const QFile::Permissions readOnly = QFile::ReadOwner | QFile::ExeOwner | QFile::ReadUser | QFile::ExeUser;
    const QByteArray zip = makeArchive([&](QZipWriter &w) {
        w.setNewEntryPermissions(readOnly);
        w.addDirectoryEntry(QStringLiteral("ro"));
        w.setNewEntryPermissions(QFile::ReadOwner | QFile::WriteOwner);
        w.addFileFromBytes(QStringLiteral("ro/file"), "kept");
    });
    QVERIFY(write(outside + QStringLiteral("/t.zip"), zip));
    QZipReader reader(outside + QStringLiteral("/t.zip"));
    QVERIFY(reader.extractTree(dest));
    QCOMPARE(read(dest + QStringLiteral("/ro/file")), QByteArray("kept"));
    QCOMPARE(QFileInfo(dest + QStringLiteral("/ro")).permissions() & 0x7000, readOnly & 0x7000);
    QFile::setPermissions(dest + QStringLiteral("/ro"), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
}

void TestZipSafety::overlappingBomb()
{
    // Many directory entries sharing one body: each one small, together huge.
    const QByteArray zeros(4 * 1024 * 1024, '\0');
    QByteArray zip = makeArchive([&](QZipWriter &w) { w.addFileFromBytes(QStringLiteral("f0"), zeros); });
    const int cd = centralHeader(zip, 0);
    const QByteArray header = zip.mid(cd, 46 + 2);
    QByteArray directory;
    const int copies = 200;
    for (int i = 0; i < copies; ++i) {
        QByteArray h = header;
        const QByteArray name = QByteArray::number(i).rightJustified(3, '0');
        put16(h, 28, quint16(name.size()));
        directory += h.left(46) + name;
    }
    QByteArray bomb = zip.left(cd) + directory + zip.mid(endRecord(zip));
    put16(bomb, bomb.size() - 22 + 8, copies);
    put16(bomb, bomb.size() - 22 + 10, copies);
    put32(bomb, bomb.size() - 22 + 12, quint32(directory.size()));
    QVERIFY(write(outside + QStringLiteral("/bomb.zip"), bomb));
    QZipReader reader(outside + QStringLiteral("/bomb.zip"));
    QCOMPARE(reader.entryCount(), copies);
    for (int i = 1; i < copies; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("shares its data with another entry")));
    QVERIFY(!reader.extractTree(dest));
    QCOMPARE(treeOf(dest), QStringList { "000" });

    // Distinct headers, but the first body runs over the second entry.
    QByteArray overlapping = makeArchive([](QZipWriter &w) {
        w.setCompressing(QZipWriter::CompressNever);
        w.addFileFromBytes(QStringLiteral("first"), "one");
        w.addFileFromBytes(QStringLiteral("second"), "two");
    });
    const int first = centralHeader(overlapping, 0);
    put32(overlapping, first + 20, 60);
    put32(overlapping, first + 24, 60);
    QVERIFY(write(outside + QStringLiteral("/overlap.zip"), overlapping));
    QZipReader overlapReader(outside + QStringLiteral("/overlap.zip"));
    const QString dest2 = outside + QStringLiteral("/a/dest2");
    QTest::ignoreMessage(QtWarningMsg, "QZip: entry 0 overlaps another entry, refusing it");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: refusing entry \"first\"")));
    QVERIFY(!overlapReader.extractTree(dest2));
    QCOMPARE(treeOf(dest2), QStringList { "second" });
}

void TestZipSafety::corpus_data()
{
    QTest::addColumn<QString>("path");
    const QString dir = QStringLiteral(QUILLARY_SOURCE_DIR "/../shared/zip-corpus");
    if (!QFileInfo(dir).isDir())
        QSKIP("the hostile archive corpus ../shared/zip-corpus is not there");
    const QStringList files = QDir(dir).entryList(QStringList { "*.zip" }, QDir::Files, QDir::Name);
    QVERIFY(!files.isEmpty());
    for (const QString &file : files)
        QTest::newRow(qPrintable(file)) << dir + QLatin1Char('/') + file;
}

void TestZipSafety::corpus()
{
    QFETCH(QString, path);
    QZipReader reader(path);
    const QList<QZipReader::FileInfo> entries = reader.listEntries();
    qint64 total = 0;
    for (const QZipReader::FileInfo &info : entries)
        total += reader.fileData(info.entryPath).size();
    QVERIFY(total <= QFileInfo(path).size() * 1032 + 1024);
    reader.extractTree(dest);
    // Whatever the archive holds, only the destination folder changed.
    for (const QString &p : treeOf(outside))
        QVERIFY2(p == QLatin1String("a") || p.startsWith(QLatin1String("a/dest")), qPrintable(p));
    for (const QString &p : treeOf(dest)) {
        const QFileInfo info(dest + QLatin1Char('/') + p);
        if (info.isSymLink())
            QVERIFY2(info.symLinkTarget().startsWith(dest + QLatin1Char('/')), qPrintable(p));
    }
}

QUILLARY_TEST_MAIN(TestZipSafety)
#include "tst_zipsafety.moc"
