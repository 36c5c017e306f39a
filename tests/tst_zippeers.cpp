#include "testmain.h"

#include "bridge.h"
#include "qzip_p.h"
#include "qzipreader.h"
#include "qzipwriter.h"
#include "ziptestutil.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QStandardPaths>

using namespace ZipTest;

// Archives must travel: what we write, the common tools read, and what they
// write, we read. These tests run the real tools.

namespace {

struct Result
{
    int code = -1;
    QByteArray out;
    QByteArray err;
};

Result runShell(const QString &command, const QString &dir)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    // The tools convert names through the locale; a plain C locale would refuse UTF-8 names.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("LC_ALL"), QStringLiteral("C.UTF-8"));
    process.setProcessEnvironment(env);
    process.start(QStringLiteral("/bin/sh"), { QStringLiteral("-c"), command });
    Result r;
    if (!process.waitForFinished(120000)) {
        process.kill();
        process.waitForFinished(5000);
        r.err = "timed out";
        return r;
    }
    r.code = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    r.out = process.readAllStandardOutput();
    r.err = process.readAllStandardError();
    return r;
}

const char *const listScript = R"(
import json, sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
bad = z.testzip()
print(json.dumps({"bad": bad, "entries": [
    {"name": i.filename, "size": i.file_size, "mode": i.external_attr >> 16,
     "system": i.create_system, "time": list(i.date_time)} for i in z.infolist()]}))
)";

const char *const writeScript = R"(
import os, sys, zipfile
with zipfile.ZipFile(sys.argv[1], "w", zipfile.ZIP_DEFLATED) as z:
    for base, dirs, files in os.walk("tree"):
        dirs.sort()
        z.write(base)
        for f in sorted(files):
            p = os.path.join(base, f)
            z.write(p, compress_type=zipfile.ZIP_STORED if f == "tiny.txt" else zipfile.ZIP_DEFLATED)
)";

const QFile::Permissions ownerGroupOther = QFile::Permissions(0x7077);

} // namespace

#define REQUIRE_TOOL(name, package)                                                                     \
    do {                                                                                                \
        if (QStandardPaths::findExecutable(QStringLiteral(name)).isEmpty())                             \
            QFAIL("the tool " name " is needed for this test: install the Debian package " package);   \
    } while (false)

class TestZipPeers : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void writerArchivesPassTools_data();
    void writerArchivesPassTools();
    void toolArchivesRead_data();
    void toolArchivesRead();
    void toolComment();

private:
    QJsonObject pythonListing(const QString &archive);
    QTemporaryDir work;
    QString tree;
};

void TestZipPeers::initTestCase()
{
    REQUIRE_TOOL("zip", "zip");
    REQUIRE_TOOL("unzip", "unzip");
    REQUIRE_TOOL("7z", "p7zip-full");
    REQUIRE_TOOL("bsdtar", "libarchive-tools");
    if (!QFileInfo::exists(QStringLiteral("/usr/bin/python3")))
        QFAIL("/usr/bin/python3 is needed for this test: install the Debian package python3");

    tree = work.filePath(QStringLiteral("tree"));
    QVERIFY(write(tree + QStringLiteral("/text.txt"), textBytes(60000)));
    QVERIFY(write(tree + QStringLiteral("/random.bin"), randomBytes(100000)));
    // Larger than the writer's piece of 1 MiB: streamed, with the header patched afterwards.
    QVERIFY(write(tree + QStringLiteral("/large.txt"), textBytes(5 * 1024 * 1024 + 17)));
    QVERIFY(write(tree + QStringLiteral("/large.bin"), randomBytes(3 * 1024 * 1024 + 5)));
    QVERIFY(write(tree + QStringLiteral("/tiny.txt"), "hi\n"));
    QVERIFY(write(tree + QStringLiteral("/\u00fcn\u00efc\u00f6d\u00e9 \u540d\u524d.txt"), "unicode name\n"));
    QVERIFY(write(tree + QStringLiteral("/sub/deeper/nested.txt"), textBytes(3000)));
    QVERIFY(write(tree + QStringLiteral("/exec.sh"), "#!/bin/sh\necho run\n"));
    QVERIFY(write(tree + QStringLiteral("/readonly.txt"), "do not touch\n"));
    QVERIFY(QDir().mkpath(tree + QStringLiteral("/emptydir")));
    QVERIFY(QFile::link(QStringLiteral("text.txt"), tree + QStringLiteral("/link")));
    const QFile::Permissions file644 = QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther;
    const QFile::Permissions dir755 = file644 | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    for (const QString &p : treeOf(tree)) {
        const QString path = tree + QLatin1Char('/') + p;
        if (!QFileInfo(path).isSymLink())
            QVERIFY(QFile::setPermissions(path, QFileInfo(path).isDir() ? dir755 : file644));
    }
    QVERIFY(QFile::setPermissions(tree + QStringLiteral("/exec.sh"), dir755));
    QVERIFY(QFile::setPermissions(tree + QStringLiteral("/readonly.txt"),
                                  QFile::ReadOwner | QFile::ReadGroup | QFile::ReadOther));
}

QJsonObject TestZipPeers::pythonListing(const QString &archive)
{
    QProcess process;
    process.start(QStringLiteral("/usr/bin/python3"), { QStringLiteral("-c"), QString::fromUtf8(listScript), archive });
    if (!process.waitForFinished(60000))
        return QJsonObject();
    return QJsonDocument::fromJson(process.readAllStandardOutput()).object();
}

void TestZipPeers::writerArchivesPassTools_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("writer") << "writer";
    // No seeking back: large entries carry data descriptors.
    QTest::newRow("writer into a pipe") << "pipe";
    QTest::newRow("Bridge::zip") << "bridge";
}

void TestZipPeers::writerArchivesPassTools()
{
    QFETCH(QString, how);
    const QString archive = work.filePath(how + QStringLiteral(".zip"));
    // What each file entry must hold when a tool unpacks it.
    QHash<QString, QByteArray> expected;
    if (how == QLatin1String("bridge")) {
        Bridge bridge;
        QVERIFY(bridge.zip(tree, archive));
        for (const QString &p : treeOf(tree)) {
            if (QFileInfo(tree + QLatin1Char('/') + p).isFile())
                expected.insert(QStringLiteral("tree/") + p, read(tree + QLatin1Char('/') + p));
        }
    } else {
        QFile file(archive);
        SequentialDevice pipe(&file);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        if (how == QLatin1String("pipe"))
            pipe.open(QIODevice::WriteOnly);
        QZipWriter writer(how == QLatin1String("pipe") ? static_cast<QIODevice *>(&pipe) : &file);
        writer.setCompressing(QZipWriter::CompressAuto);
        auto add = [&](const QString &name, const QByteArray &bytes) {
            writer.addFileFromBytes(name, bytes);
            expected.insert(name, bytes);
        };
        writer.setNewEntryPermissions(QFile::Permissions(0x7751));
        writer.addDirectoryEntry(QStringLiteral("dir"));
        writer.setNewEntryPermissions(QFile::Permissions(0x7755));
        add(QStringLiteral("dir/exec.sh"), "#!/bin/sh\necho run\n");
        writer.setNewEntryPermissions(QFile::Permissions(0x6644));
        add(QStringLiteral("dir/text.txt"), textBytes(60000));
        add(QStringLiteral("random.bin"), randomBytes(100000));
        add(QStringLiteral("large.txt"), textBytes(5 * 1024 * 1024 + 17));
        add(QStringLiteral("large.bin"), randomBytes(3 * 1024 * 1024 + 5));
        add(QStringLiteral("one-piece.txt"), textBytes(1024 * 1024));
        add(QStringLiteral("empty.txt"), QByteArray());
        add(QStringLiteral("\u00fcn\u00efc\u00f6d\u00e9/\u540d\u524d.txt"), textBytes(500));
        writer.setCompressing(QZipWriter::CompressNever);
        add(QStringLiteral("stored-large.bin"), randomBytes(2 * 1024 * 1024 + 3, 7));
        writer.setCompressing(QZipWriter::CompressAuto);
        writer.setNewEntryPermissions(QFile::Permissions(0x6600));
        add(QStringLiteral("small.txt"), "short");
        writer.finish();
        QCOMPARE(writer.writerStatus(), QZipWriter::StatusOk);
        file.close();
    }

    const Result unzipTest = runShell(QStringLiteral("unzip -t '%1'").arg(archive), work.path());
    QVERIFY2(unzipTest.code == 0 && unzipTest.out.contains("No errors detected"), unzipTest.out + unzipTest.err);
    const Result sevenTest = runShell(QStringLiteral("7z t '%1'").arg(archive), work.path());
    QVERIFY2(sevenTest.code == 0 && sevenTest.out.contains("Everything is Ok"), sevenTest.out + sevenTest.err);
    const Result tarList = runShell(QStringLiteral("bsdtar -tf '%1'").arg(archive), work.path());
    QVERIFY2(tarList.code == 0, tarList.err);

    const QJsonObject listing = pythonListing(archive);
    QVERIFY2(listing.contains(QStringLiteral("bad")), "python's zipfile could not read the archive");
    QVERIFY2(listing.value(QStringLiteral("bad")).isNull(), "python's zipfile testzip() found a bad entry");
    const QJsonArray entries = listing.value(QStringLiteral("entries")).toArray();
    QZipReader reader(archive);
    const QList<QZipReader::FileInfo> ours = reader.listEntries();
    QCOMPARE(entries.size(), ours.size());
    QStringList tarNames = QString::fromUtf8(tarList.out).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (QString &n : tarNames) {
        if (n.endsWith(QLatin1Char('/')))
            n.chop(1);
    }
    for (int i = 0; i < entries.size(); ++i) {
        const QJsonObject e = entries.at(i).toObject();
        const QZipReader::FileInfo &info = ours.at(i);
        QString name = e.value(QStringLiteral("name")).toString();
        QCOMPARE(name.endsWith(QLatin1Char('/')), bool(info.isFolder));
        if (info.isFolder)
            name.chop(1);
        QCOMPARE(name, info.entryPath);
        QVERIFY2(tarNames.contains(info.entryPath), qPrintable(info.entryPath));
        QCOMPARE(qint64(e.value(QStringLiteral("size")).toInt()), info.byteSize);
        const quint32 mode = quint32(e.value(QStringLiteral("mode")).toInt());
        QCOMPARE(mode & 07777, rightsToUnixMode(info.accessRights));
        QCOMPARE(mode & 0xF000, info.isFolder ? 0x4000u : 0x8000u);
        const QJsonArray t = e.value(QStringLiteral("time")).toArray();
        const QDateTime when(QDate(t.at(0).toInt(), t.at(1).toInt(), t.at(2).toInt()),
                             QTime(t.at(3).toInt(), t.at(4).toInt(), t.at(5).toInt()));
        QCOMPARE(when, info.modifiedAt);
    }

    // unzip extracts the same bytes and modes.
    const QString out = work.filePath(QStringLiteral("unzipped-") + QFileInfo(archive).baseName());
    const Result extract = runShell(QStringLiteral("unzip -q '%1' -d '%2'").arg(archive, out), work.path());
    QVERIFY2(extract.code == 0, extract.out + extract.err);
    int files = 0;
    for (const QZipReader::FileInfo &info : ours) {
        const QString path = out + QLatin1Char('/') + info.entryPath;
        QVERIFY2(QFileInfo::exists(path), qPrintable(path));
        QCOMPARE(QFileInfo(path).permissions() & ownerGroupOther, info.accessRights & ownerGroupOther);
        if (info.isRegularFile) {
            QVERIFY2(expected.contains(info.entryPath), qPrintable(info.entryPath));
            QVERIFY2(read(path) == expected.value(info.entryPath), qPrintable(info.entryPath));
            QVERIFY2(reader.fileData(info.entryPath) == expected.value(info.entryPath), qPrintable(info.entryPath));
            ++files;
        }
    }
    QCOMPARE(files, expected.size());

    // 7z and bsdtar unpack the same bytes too.
    const QStringList unpackers { QStringLiteral("7z x -y -o'%2' '%1' > /dev/null"),
                                  QStringLiteral("mkdir -p '%2' && bsdtar -xf '%1' -C '%2'") };
    for (int i = 0; i < unpackers.size(); ++i) {
        const QString dir = work.filePath(QStringLiteral("unpacked-%1-%2").arg(QFileInfo(archive).baseName()).arg(i));
        const Result unpacked = runShell(unpackers.at(i).arg(archive, dir), work.path());
        QVERIFY2(unpacked.code == 0, unpacked.out + unpacked.err);
        for (auto it = expected.cbegin(); it != expected.cend(); ++it)
            QVERIFY2(read(dir + QLatin1Char('/') + it.key()) == it.value(), qPrintable(unpackers.at(i) + it.key()));
    }
}

void TestZipPeers::toolArchivesRead_data()
{
    QTest::addColumn<QString>("command");
    QTest::addColumn<bool>("folders");
    QTest::addColumn<bool>("links");
    QTest::newRow("zip -r") << "zip -q -r %1 tree" << true << false;
    QTest::newRow("zip -r -D (no folder entries)") << "zip -q -r -D %1 tree" << false << false;
    QTest::newRow("zip -r -y (links)") << "zip -q -r -y %1 tree" << true << true;
    QTest::newRow("zip -r -0 (stored)") << "zip -q -r -0 %1 tree" << true << false;
    QTest::newRow("zip UTF-8 flag") << "zip -q -r -UN=UTF8 %1 tree" << true << false;
    QTest::newRow("zip to a pipe (data descriptors)") << "zip -q -r - tree | cat > %1" << true << false;
    QTest::newRow("7z") << "7z a -tzip -snl %1 tree > /dev/null" << true << true;
    QTest::newRow("bsdtar") << "bsdtar -a -cf %1 tree" << true << true;
    QTest::newRow("python zipfile") << "/usr/bin/python3 -c \"$PYSCRIPT\" %1" << true << false;
    QTest::newRow("zip - reading standard input") << "zip -q - - < tree/text.txt | cat > %1" << false << false;
}

void TestZipPeers::toolArchivesRead()
{
    QFETCH(QString, command);
    QFETCH(bool, folders);
    QFETCH(bool, links);
    const QString archive = work.filePath(QStringLiteral("tool-%1.zip").arg(QTest::currentDataTag()).replace(
        QRegularExpression(QStringLiteral("[^A-Za-z0-9./_-]")), QStringLiteral("_")));
    QFile::remove(archive);
    qputenv("PYSCRIPT", writeScript);
    const Result made = runShell(command.arg(QLatin1Char('\'') + archive + QLatin1Char('\'')), work.path());
    QVERIFY2(made.code == 0 && QFileInfo::exists(archive), made.out + made.err);

    const bool fromStdin = command.contains(QLatin1String("- - <"));
    QZipReader reader(archive);
    const QList<QZipReader::FileInfo> entries = reader.listEntries();
    QStringList names;
    for (const QZipReader::FileInfo &info : entries) {
        QVERIFY2(info.isKnownKind(), qPrintable(info.entryPath));
        names.append(info.entryPath);
    }
    names.sort();

    // What the archive should hold, from the tree on disk.
    QStringList expected;
    if (fromStdin) {
        expected = QStringList { "-" };
    } else {
        for (const QString &p : treeOf(tree)) {
            const QFileInfo info(tree + QLatin1Char('/') + p);
            if (info.isDir() && !info.isSymLink() && !folders)
                continue;
            expected.append(QStringLiteral("tree/") + p);
        }
        if (folders)
            expected.append(QStringLiteral("tree"));
        expected.sort();
    }
    QCOMPARE(names, expected);

    const QString out = work.filePath(QStringLiteral("out-") + QFileInfo(archive).baseName());
    QVERIFY(reader.extractTree(out));
    for (const QZipReader::FileInfo &info : entries) {
        const QString source = fromStdin ? tree + QStringLiteral("/text.txt")
                                         : work.filePath(info.entryPath);
        const QString target = out + QLatin1Char('/') + info.entryPath;
        const QFileInfo sourceInfo(source);
        if (info.isLink || (links && sourceInfo.isSymLink())) {
            QVERIFY2(info.isLink, qPrintable(info.entryPath));
            QVERIFY(QFileInfo(target).isSymLink());
            QCOMPARE(QFile::symLinkTarget(target), QFileInfo(target).absolutePath() + QStringLiteral("/text.txt"));
            QCOMPARE(reader.fileData(info.entryPath), QByteArray("text.txt"));
            continue;
        }
        QVERIFY2(QFileInfo(target).exists(), qPrintable(target));
        if (info.isRegularFile) {
            QCOMPARE(read(target), read(source));
            QCOMPARE(reader.fileData(info.entryPath), read(source));
            if (!fromStdin) {
                QCOMPARE(QFileInfo(target).permissions() & ownerGroupOther,
                         sourceInfo.permissions() & ownerGroupOther);
                // DOS time keeps even seconds; tools round either way.
                QVERIFY2(qAbs(info.modifiedAt.secsTo(sourceInfo.lastModified())) <= 2, qPrintable(info.entryPath));
            }
        } else {
            QVERIFY(QFileInfo(target).isDir());
            QCOMPARE(QFileInfo(target).permissions() & ownerGroupOther, sourceInfo.permissions() & ownerGroupOther);
        }
    }
}

void TestZipPeers::toolComment()
{
    const QString archive = work.filePath(QStringLiteral("comment.zip"));
    const Result made = runShell(
        QStringLiteral("zip -q -r '%1' tree/text.txt && printf 'an archive comment\\n' | zip -q -z '%1'").arg(archive),
        work.path());
    QVERIFY2(made.code == 0, made.err);
    QZipReader reader(archive);
    QCOMPARE(reader.entryCount(), 1);
    QCOMPARE(reader.fileData(QStringLiteral("tree/text.txt")), read(tree + QStringLiteral("/text.txt")));
}

QUILLARY_TEST_MAIN(TestZipPeers)
#include "tst_zippeers.moc"
