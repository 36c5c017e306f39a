#include "testmain.h"

#include <sys/stat.h>

#include "filesizecap.h"
#include "filewriter.h"

// The one writer every file of the program goes through: a file is replaced
// whole or left as it was, also when the disk refuses the last bytes.
class TestFileWriter : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();
    void refusedWriteKeepsOldFile_data();
    void refusedWriteKeepsOldFile();
    void commitWritesWhole();
    void writesInPlaceOnlyWhereFolderRefuses_data();
    void writesInPlaceOnlyWhereFolderRefuses();
    void uncommittedWriterLeavesNothing();

private:
    QString at(const QString &name) const { return work->path() + QLatin1Char('/') + name; }
    QTemporaryDir *work = nullptr;
};

namespace {

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

QStringList entriesOf(const QString &folder)
{
    return QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
}

struct stat statOf(const QString &path)
{
    struct stat st {};
    ::lstat(QFile::encodeName(path).constData(), &st);
    return st;
}

} // namespace

void TestFileWriter::init()
{
    work = new QTemporaryDir;
    QVERIFY(work->isValid());
}

void TestFileWriter::cleanup()
{
    ::chmod(QFile::encodeName(at(QStringLiteral("locked"))).constData(), 0755);
    delete work;
    work = nullptr;
}

void TestFileWriter::refusedWriteKeepsOldFile_data()
{
    QTest::addColumn<int>("size");       // bytes written
    QTest::addColumn<int>("hole");       // bytes skipped after them
    QTest::addColumn<bool>("existing");  // an old file is there
    // Fewer bytes than the write buffer: every write() succeeds and only the
    // final flush fails, which QSaveFile alone would rename into place.
    QTest::newRow("small, refused at the last flush") << 4003 << 0 << true;
    QTest::newRow("small, new file") << 4003 << 0 << false;
    QTest::newRow("large, refused while writing") << 1024 * 1024 << 0 << true;
    QTest::newRow("hole at the end past the cap") << 10 << 5000 << true;
}

// The disk takes 1,000 bytes and no more: false with a reason, the old file as
// it was, no temporary file beside it.
void TestFileWriter::refusedWriteKeepsOldFile()
{
    QFETCH(int, size);
    QFETCH(int, hole);
    QFETCH(bool, existing);
    const QString target = at(QStringLiteral("page.html"));
    const QByteArray old("old content that must survive");
    if (existing)
        QVERIFY(writeAll(target, old));

    bool ok = true;
    QString error;
    {
        FileSizeCap cap(1000);
        QVERIFY(cap.active);
        FileWriter writer(target);
        ok = writer.open() && writer.write(QByteArray(size, 'n')) && (hole == 0 || writer.skip(hole))
                && writer.commit();
        error = writer.errorString();
    }
    QVERIFY(!ok);
    QVERIFY2(error.contains(target), qPrintable(error));
    QCOMPARE(entriesOf(work->path()), existing ? QStringList { QStringLiteral("page.html") } : QStringList());
    if (existing)
        QCOMPARE(readAll(target), old);

    // The same through the one-call form.
    {
        FileSizeCap cap(1000);
        QVERIFY(!FileWriter::writeWhole(target, QByteArray(size + hole, 'w'), &error));
    }
    QVERIFY(!error.isEmpty());
    QCOMPARE(entriesOf(work->path()), existing ? QStringList { QStringLiteral("page.html") } : QStringList());
    if (existing)
        QCOMPARE(readAll(target), old);
}

void TestFileWriter::commitWritesWhole()
{
    const QString target = at(QStringLiteral("data.bin"));
    QVERIFY(writeAll(target, QByteArray(9000, 'o')));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), 0640) == 0);
    {
        FileWriter writer(target);
        QVERIFY(writer.open());
        QVERIFY(writer.write("head"));
        QVERIFY(writer.skip(100));
        QVERIFY(writer.write("mid"));
        QVERIFY(writer.skip(50));   // a hole at the end still makes the size
        QVERIFY(writer.commit());
    }
    QCOMPARE(readAll(target), QByteArray("head") + QByteArray(100, '\0') + "mid" + QByteArray(50, '\0'));
    // A replaced file keeps its mode unless the writer is told one.
    QCOMPARE(statOf(target).st_mode & 07777, mode_t(0640));
    QCOMPARE(entriesOf(work->path()), QStringList { QStringLiteral("data.bin") });

    QString error;
    const QString secret = at(QStringLiteral("secret.txt"));
    QVERIFY(FileWriter::writeWhole(secret, "key", &error, 0600));
    QCOMPARE(statOf(secret).st_mode & 07777, mode_t(0600));
    QVERIFY(FileWriter::writeWhole(target, QByteArray(), &error, 0755));
    QCOMPARE(statOf(target).st_mode & 07777, mode_t(0755));
    QCOMPARE(QFileInfo(target).size(), 0);
}

void TestFileWriter::writesInPlaceOnlyWhereFolderRefuses_data()
{
    QTest::addColumn<bool>("lockedFolder");
    QTest::addColumn<bool>("writableFile");
    QTest::addColumn<bool>("fallback");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<bool>("inPlace");
    QTest::newRow("open folder, fallback allowed: replaced") << false << true << true << true << false;
    QTest::newRow("open folder, read-only file: refused") << false << false << true << false << false;
    QTest::newRow("locked folder, writable file: in place") << true << true << true << true << true;
    QTest::newRow("locked folder, no fallback: refused") << true << true << false << false << false;
    QTest::newRow("locked folder, read-only file: refused") << true << false << true << false << false;
}

// Writing in place can cut a file short, so it happens only where the folder
// takes no new file and the file itself may be written.
void TestFileWriter::writesInPlaceOnlyWhereFolderRefuses()
{
    QFETCH(bool, lockedFolder);
    QFETCH(bool, writableFile);
    QFETCH(bool, fallback);
    QFETCH(bool, expected);
    QFETCH(bool, inPlace);
    const QString folder = at(QStringLiteral("locked"));
    const QString target = folder + QStringLiteral("/page.html");
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(writeAll(target, "old"));
    QVERIFY(::chmod(QFile::encodeName(target).constData(), writableFile ? 0644 : 0444) == 0);
    if (lockedFolder) {
        QVERIFY(::chmod(QFile::encodeName(folder).constData(), 0555) == 0);
        QFile probe(folder + QStringLiteral("/probe"));
        QVERIFY2(!probe.open(QIODevice::WriteOnly), "the test runs with rights that pass over permission bits");
    }
    const ino_t before = statOf(target).st_ino;

    FileWriter writer(target);
    writer.setDirectWriteFallback(fallback);
    const bool ok = writer.open() && writer.write("new") && writer.commit();
    QCOMPARE(ok, expected);
    QCOMPARE(readAll(target), QByteArray(expected ? "new" : "old"));
    if (expected)
        QCOMPARE(statOf(target).st_ino == before, inPlace);
    QCOMPARE(entriesOf(folder), QStringList { QStringLiteral("page.html") });
}

// A writer given up (cancelled, failed or just dropped) leaves the old file and
// nothing else.
void TestFileWriter::uncommittedWriterLeavesNothing()
{
    const QString target = at(QStringLiteral("page.html"));
    QVERIFY(writeAll(target, "old"));
    {
        FileWriter dropped(target);
        QVERIFY(dropped.open());
        QVERIFY(dropped.write(QByteArray(100000, 'x')));
    }
    QCOMPARE(readAll(target), QByteArray("old"));
    QCOMPARE(entriesOf(work->path()), QStringList { QStringLiteral("page.html") });

    FileWriter cancelled(target);
    QVERIFY(cancelled.open());
    QVERIFY(cancelled.write("new"));
    cancelled.cancel();
    QVERIFY(!cancelled.commit());
    QVERIFY(!cancelled.write("more"));
    QCOMPARE(readAll(target), QByteArray("old"));
    QCOMPARE(entriesOf(work->path()), QStringList { QStringLiteral("page.html") });

    FileWriter intoFolder(work->path());
    QVERIFY(!intoFolder.open());
    QVERIFY(!intoFolder.errorString().isEmpty());
}

QUILLARY_TEST_MAIN(TestFileWriter)
#include "tst_filewriter.moc"
