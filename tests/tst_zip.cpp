#include "testmain.h"

#include "qzip_p.h"
#include "qzipreader.h"
#include "qzipwriter.h"
#include "ziptestutil.h"

#include <QBuffer>
#include <QSaveFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <memory>
#include <unistd.h>

using namespace ZipTest;

namespace {

const QFile::Permissions rw = QFile::ReadOwner | QFile::WriteOwner;
const QFile::Permissions mode0751 = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
    | QFile::ExeGroup | QFile::ExeOther;

} // namespace

class TestZip : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void compressAuto_data();
    void compressAuto();
    void externalAttributes_data();
    void externalAttributes();
    void dosStamp();
    void emptyArchive();
    void finishTwice();
    void nameCleaning_data();
    void nameCleaning();
    void entryKinds_data();
    void entryKinds();
    void unknownHost();
    void utf8Names();
    void archiveComment();
    void trailingJunk();
    void notAZip_data();
    void notAZip();
    void openFailure();
    void entryAtOutOfRange();
    void storedLongerBody();
    void deflatedWithoutSize();
    void versionWithHostByte();
    void refusedBodies_data();
    void refusedBodies();
    void writeFailure();
    void deflateFailureStores();
    void tooManyEntries();
    void archiveOver4GiB_data();
    void archiveOver4GiB();
    void sourceCannotBeOpened();
    void notAddedToItself_data();
    void notAddedToItself();
    void addAfterFinish();
};

void TestZip::roundTrip_data()
{
    QTest::addColumn<int>("policy");
    QTest::addColumn<QByteArray>("content");
    const struct { const char *name; int policy; } policies[] = {
        { "always", QZipWriter::CompressAlways },
        { "never", QZipWriter::CompressNever },
        { "auto", QZipWriter::CompressAuto },
    };
    for (const auto &p : policies) {
        QTest::addRow("%s empty", p.name) << p.policy << QByteArray();
        QTest::addRow("%s small", p.name) << p.policy << QByteArray("hello");
        QTest::addRow("%s text", p.name) << p.policy << textBytes(700000);
        QTest::addRow("%s random", p.name) << p.policy << randomBytes(300000);
    }
}

void TestZip::roundTrip()
{
    QFETCH(int, policy);
    QFETCH(QByteArray, content);
    const QDateTime before = QDateTime::currentDateTime().addSecs(-2);
    const QByteArray zip = makeArchive([&](QZipWriter &w) {
        w.setCompressing(QZipWriter::CompressionPolicy(policy));
        w.addDirectoryEntry(QStringLiteral("dir"));
        w.addFileFromBytes(QStringLiteral("dir/file.bin"), content);
        w.setNewEntryPermissions(mode0751);
        w.addFileFromBytes(QStringLiteral("second"), "x");
    });
    QCOMPARE(le16(zip, centralHeader(zip, 1) + 10), quint16(policy == QZipWriter::CompressAlways ? 8
                                                          : policy == QZipWriter::CompressNever ? 0
                                                          : content.size() >= 64 ? 8 : 0));
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QCOMPARE(reader.entryCount(), 3);
    const QList<QZipReader::FileInfo> entries = reader.listEntries();
    QCOMPARE(entries.at(0).entryPath, QStringLiteral("dir"));
    QVERIFY(entries.at(0).isFolder);
    QCOMPARE(entries.at(1).entryPath, QStringLiteral("dir/file.bin"));
    QVERIFY(entries.at(1).isRegularFile);
    QCOMPARE(entries.at(1).byteSize, qint64(content.size()));
    QCOMPARE(entries.at(1).accessRights, rw | QFile::ReadUser | QFile::WriteUser);
    QVERIFY(entries.at(1).modifiedAt >= before);
    QVERIFY(entries.at(1).modifiedAt <= QDateTime::currentDateTime());
    QCOMPARE(entries.at(2).accessRights, mode0751 | QFile::ReadUser | QFile::WriteUser | QFile::ExeUser);
    QCOMPARE(reader.fileData(QStringLiteral("dir/file.bin")), content);
    QCOMPARE(reader.fileData(QStringLiteral("second")), QByteArray("x"));
    QCOMPARE(reader.fileData(QStringLiteral("missing")), QByteArray());
    QCOMPARE(reader.readerStatus(), QZipReader::StatusOk);
}

void TestZip::compressAuto_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("method");
    QTest::newRow("63 bytes stored") << 63 << 0;
    QTest::newRow("64 bytes deflated") << 64 << 8;
    QTest::newRow("empty stored") << 0 << 0;
}

void TestZip::compressAuto()
{
    QFETCH(int, size);
    QFETCH(int, method);
    const QByteArray content(size, 'a');
    const QByteArray zip = makeArchive([&](QZipWriter &w) {
        w.setCompressing(QZipWriter::CompressAuto);
        w.addFileFromBytes(QStringLiteral("f"), content);
    });
    const int cd = centralHeader(zip, 0);
    QCOMPARE(int(le16(zip, cd + 10)), method);
    QCOMPARE(int(le16(zip, localHeader(zip, 0) + 8)), method);
    if (method == 0)
        QCOMPARE(int(le32(zip, cd + 20)), size);
    else
        QVERIFY(int(le32(zip, cd + 20)) < size);
    QCOMPARE(int(le32(zip, cd + 24)), size);
}

void TestZip::externalAttributes_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<int>("rights");
    QTest::addColumn<quint32>("attributes");
    QTest::newRow("file, default rights") << 0 << int(rw) << quint32(0x81800000);
    QTest::newRow("folder, default rights") << 1 << int(rw) << quint32(0x41800000);
    QTest::newRow("folder, 0751") << 1 << int(mode0751) << quint32(0x41E90000);
    QTest::newRow("link, default rights") << 2 << int(rw) << quint32(0x21800000);
}

void TestZip::externalAttributes()
{
    QFETCH(int, kind);
    QFETCH(int, rights);
    QFETCH(quint32, attributes);
    const QByteArray zip = makeArchive([&](QZipWriter &w) {
        if (rights != int(rw))
            w.setNewEntryPermissions(QFile::Permissions(rights));
        if (kind == 0)
            w.addFileFromBytes(QStringLiteral("e"), "data");
        else if (kind == 1)
            w.addDirectoryEntry(QStringLiteral("e"));
        else
            w.addLinkEntry(QStringLiteral("e"), QStringLiteral("target"));
    });
    const int cd = centralHeader(zip, 0);
    QCOMPARE(le32(zip, cd + 38), attributes);
    QCOMPARE(le16(zip, cd + 4), quint16(0x0300));
    QCOMPARE(le16(zip, cd + 6), quint16(20));
    QCOMPARE(le16(zip, cd + 8), quint16(0x0800));
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    const QZipReader::FileInfo info = reader.entryAt(0);
    QCOMPARE(bool(info.isRegularFile), kind == 0);
    QCOMPARE(bool(info.isFolder), kind == 1);
    QCOMPARE(bool(info.isLink), kind == 2);
    if (kind == 2)
        QCOMPARE(reader.fileData(QStringLiteral("e")), QByteArray("target"));
}

void TestZip::dosStamp()
{
    const QDateTime at(QDate(2026, 3, 14), QTime(14, 37, 9));
    const quint32 stamp = dateTimeToDosStamp(at);
    QCOMPARE(stamp & 0x1F, quint32(4));
    QCOMPARE(dosStampToDateTime(stamp), QDateTime(QDate(2026, 3, 14), QTime(14, 37, 8)));
    QCOMPARE(dateTimeToDosStamp(QDateTime()), quint32(0));
    QVERIFY(!dosStampToDateTime(0).isValid());
    // Hour 24 is no time of day.
    QVERIFY(!dosStampToDateTime((stamp & 0xFFFF0000) | (24u << 11)).isValid());
}

void TestZip::emptyArchive()
{
    const QByteArray zip = makeArchive([](QZipWriter &) {});
    QCOMPARE(zip.size(), 22);
    QCOMPARE(le32(zip, 0), quint32(0x06054b50));
    QCOMPARE(le32(zip, 12), quint32(0));
    QCOMPARE(le32(zip, 16), quint32(0));
    // Our own empty archive is an archive with no entries, not a damaged file.
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QCOMPARE(reader.entryCount(), 0);
    QTemporaryDir out;
    QVERIFY(reader.extractTree(out.path()));
}

void TestZip::finishTwice()
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QZipWriter writer(&buffer);
        writer.addFileFromBytes(QStringLiteral("a"), "alpha");
        writer.finish();
        QVERIFY(!buffer.isOpen());
        writer.finish();
    }
    const QByteArray zip = buffer.data();
    QCOMPARE(zip.count(QByteArray("PK\x05\x06")), 1);
    QCOMPARE(zip.count(QByteArray("PK\x01\x02")), 1);
}

void TestZip::nameCleaning_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("path");
    QTest::newRow("dot slash") << "./a.txt" << "a.txt";
    QTest::newRow("absolute") << "/a.txt" << "a.txt";
    QTest::newRow("plain") << "a.txt" << "a.txt";
    QTest::newRow("folder slash") << "dir/" << "dir";
    QTest::newRow("leading dots") << "../up" << "up";
    QTest::newRow("hidden") << ".hidden" << "hidden";
    QTest::newRow("inner dots stay") << "a/../b" << "a/../b";
}

void TestZip::nameCleaning()
{
    QFETCH(QString, stored);
    QFETCH(QString, path);
    const QByteArray zip = makeArchive([&](QZipWriter &w) { w.addFileFromBytes(stored, "content"); });
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QCOMPARE(reader.entryAt(0).entryPath, path);
    QCOMPARE(reader.fileData(path), QByteArray("content"));
}

void TestZip::entryKinds_data()
{
    QTest::addColumn<int>("host");
    QTest::addColumn<quint32>("attributes");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("rights");
    const int all = int(QFile::ReadOwner | QFile::ReadUser | QFile::ReadGroup | QFile::ReadOther);
    const int write = int(QFile::WriteOwner | QFile::WriteUser | QFile::WriteGroup | QFile::WriteOther);
    const int exe = int(QFile::ExeOwner | QFile::ExeUser | QFile::ExeGroup | QFile::ExeOther);
    QTest::newRow("unix 0100644") << 3 << (0100644u << 16) << "file"
                                  << int(QFile::ReadOwner | QFile::ReadUser | QFile::WriteOwner | QFile::WriteUser
                                         | QFile::ReadGroup | QFile::ReadOther);
    QTest::newRow("unix 040755") << 3 << (040755u << 16) << "folder"
                                 << int(QFile::ReadOwner | QFile::ReadUser | QFile::WriteOwner | QFile::WriteUser
                                        | QFile::ExeOwner | QFile::ExeUser | QFile::ReadGroup | QFile::ExeGroup
                                        | QFile::ReadOther | QFile::ExeOther);
    QTest::newRow("unix 0120777") << 3 << (0120777u << 16) << "link" << 0x7777;
    QTest::newRow("unix 020777") << 3 << (020777u << 16) << "link" << 0x7777;
    QTest::newRow("fat read-only") << 0 << 0x01u << "file" << all;
    QTest::newRow("ntfs folder") << 11 << 0x10u << "folder" << (all | write | exe);
    QTest::newRow("vfat file") << 14 << 0x20u << "file" << (all | write);
}

void TestZip::entryKinds()
{
    QFETCH(int, host);
    QFETCH(quint32, attributes);
    QFETCH(QString, kind);
    QFETCH(int, rights);
    QByteArray zip = makeArchive([&](QZipWriter &w) { w.addFileFromBytes(QStringLiteral("e"), "x"); });
    const int cd = centralHeader(zip, 0);
    put16(zip, cd + 4, quint16(host << 8));
    put32(zip, cd + 38, attributes);
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    const QZipReader::FileInfo info = reader.entryAt(0);
    QCOMPARE(info.isRegularFile ? "file" : info.isFolder ? "folder" : info.isLink ? "link" : "none", qPrintable(kind));
    QCOMPARE(int(info.accessRights), rights);
}

void TestZip::unknownHost()
{
    QByteArray zip = makeArchive([&](QZipWriter &w) { w.addFileFromBytes(QStringLiteral("e"), "x"); });
    put16(zip, centralHeader(zip, 0) + 4, quint16(19 << 8));
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QTest::ignoreMessage(QtWarningMsg, "QZip: Zip entry format at 0 is not supported.");
    const QZipReader::FileInfo info = reader.entryAt(0);
    QVERIFY(!info.isKnownKind());
    QVERIFY(info.entryPath.isEmpty());
    QCOMPARE(reader.fileData(QStringLiteral("e")), QByteArray("x"));
}

void TestZip::utf8Names()
{
    const QString name = QStringLiteral("caf\u00e9/\u65e5\u672c.txt");
    const QByteArray zip = makeArchive([&](QZipWriter &w) { w.addFileFromBytes(name, "bytes"); });
    QVERIFY(zip.contains(name.toUtf8()));
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QCOMPARE(reader.entryAt(0).entryPath, name);
    QCOMPARE(reader.fileData(name), QByteArray("bytes"));
}

void TestZip::archiveComment()
{
    const QByteArray base = makeArchive([](QZipWriter &w) { w.addFileFromBytes(QStringLiteral("a"), "alpha"); });
    QByteArray zip = base;
    put16(zip, endRecord(zip) + 20, 0xFFFF);
    zip += QByteArray(0xFFFF, 'c');
    {
        QBuffer buffer;
        buffer.setData(zip);
        QZipReader reader(&buffer);
        QCOMPARE(reader.entryCount(), 1);
        QCOMPARE(reader.fileData(QStringLiteral("a")), QByteArray("alpha"));
    }
    // One byte more and the end record lies beyond the search.
    zip += 'c';
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QTest::ignoreMessage(QtWarningMsg, "QZip: EndOfDirectory not found");
    QCOMPARE(reader.entryCount(), 0);
}

void TestZip::trailingJunk()
{
    QByteArray zip = makeArchive([](QZipWriter &w) { w.addFileFromBytes(QStringLiteral("a"), "alpha"); });
    put16(zip, endRecord(zip) + 20, 20);
    zip += "only9byte";
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QTest::ignoreMessage(QtWarningMsg, "QZip: failed to parse zip file.");
    QCOMPARE(reader.entryCount(), 1);
    QCOMPARE(reader.fileData(QStringLiteral("a")), QByteArray("alpha"));
}

void TestZip::notAZip_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("three bytes") << QByteArray("PK\x03");
    QTest::newRow("text") << QByteArray("this is not an archive at all, just text");
}

void TestZip::notAZip()
{
    QFETCH(QByteArray, bytes);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("x.zip"));
    QVERIFY(write(path, bytes));
    QZipReader reader(path);
    QTest::ignoreMessage(QtWarningMsg, "QZip: not a zip file!");
    QCOMPARE(reader.entryCount(), 0);
    QCOMPARE(reader.readerStatus(), QZipReader::StatusOk);
    // Not an archive: extraction reports it instead of a silent success.
    QVERIFY(!reader.extractTree(dir.filePath(QStringLiteral("out"))));
}

void TestZip::openFailure()
{
    QTemporaryDir dir;
    QZipReader reader(dir.filePath(QStringLiteral("missing.zip")));
    QCOMPARE(reader.readerStatus(), QZipReader::StatusOpenFailed);
    QVERIFY(!reader.archiveExists());
    QCOMPARE(reader.entryCount(), 0);
    QCOMPARE(reader.fileData(QStringLiteral("a")), QByteArray());
    QVERIFY(!reader.extractTree(dir.filePath(QStringLiteral("out"))));
    QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("out/a"))));

    QBuffer writeOnly;
    writeOnly.open(QIODevice::WriteOnly);
    QZipReader wrongMode(&writeOnly);
    QCOMPARE(wrongMode.entryCount(), 0);
    QCOMPARE(wrongMode.readerStatus(), QZipReader::StatusReadFailed);
}

void TestZip::entryAtOutOfRange()
{
    const QByteArray zip = makeArchive([](QZipWriter &w) { w.addFileFromBytes(QStringLiteral("a"), "alpha"); });
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QVERIFY(!reader.entryAt(-1).isKnownKind());
    QVERIFY(!reader.entryAt(1).isKnownKind());
    QVERIFY(reader.entryAt(0).isKnownKind());
}

void TestZip::storedLongerBody()
{
    // Two entries; the first claims two more body bytes (the next header's start).
    QByteArray zip = makeArchive([](QZipWriter &w) {
        w.setCompressing(QZipWriter::CompressNever);
        w.addFileFromBytes(QStringLiteral("a"), "alpha");
        w.addFileFromBytes(QStringLiteral("b"), "beta");
    });
    put32(zip, centralHeader(zip, 0) + 20, 7);
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QCOMPARE(reader.fileData(QStringLiteral("a")), QByteArray("alpha"));
    QTemporaryDir out;
    QVERIFY(reader.extractTree(out.path()));
    QCOMPARE(read(out.filePath(QStringLiteral("a"))), QByteArray("alpha"));
    QCOMPARE(read(out.filePath(QStringLiteral("b"))), QByteArray("beta"));
}

void TestZip::deflatedWithoutSize()
{
    const QByteArray content = textBytes(100000);
    QByteArray zip = makeArchive([&](QZipWriter &w) { w.addFileFromBytes(QStringLiteral("a"), content); });
    put32(zip, centralHeader(zip, 0) + 24, 0);
    // A compressed size beyond the device is clamped to what is there.
    put32(zip, centralHeader(zip, 0) + 20, 0xFFFFFFF0);
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QCOMPARE(reader.fileData(QStringLiteral("a")), content);
}

void TestZip::versionWithHostByte()
{
    // Some tools put the host system into the high byte of "version needed" too.
    QByteArray zip = makeArchive([](QZipWriter &w) { w.addFileFromBytes(QStringLiteral("a"), textBytes(500)); });
    put16(zip, centralHeader(zip, 0) + 6, 0x030A);
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QCOMPARE(reader.fileData(QStringLiteral("a")), textBytes(500));
}

void TestZip::refusedBodies_data()
{
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("warning");
    QTest::newRow("crc mismatch") << "crc" << "QZip: CRC-32 mismatch in entry 0, the data is corrupted";
    QTest::newRow("truncated deflate") << "truncate" << "QZip: Z_DATA_ERROR: Input data is corrupted";
    QTest::newRow("corrupt deflate") << "corrupt" << "QZip: Z_DATA_ERROR: Input data is corrupted";
    QTest::newRow("4 GiB claim") << "claim4g" << "QZip: entry 0 is larger than 268435456 bytes, too large to hold in memory";
    QTest::newRow("bomb: inflates beyond claim") << "bomb" << "QZip: entry 0 inflates beyond its stored size, refusing it";
    QTest::newRow("stored truncated") << "storedcut" << "QZip: the data of entry 0 is truncated";
    QTest::newRow("encrypted") << "encrypted" << "QZip: Unsupported encryption method is needed to extract the data.";
    QTest::newRow("version 46")
        << "version" << "QZip: .ZIP specification version 46 implementationis needed to extract the data.";
    QTest::newRow("version 45 with ZIP64 sizes")
        << "zip64" << "QZip: .ZIP specification version 45 implementationis needed to extract the data.";
    QTest::newRow("method 12") << "method" << "QZip: Unsupported compression method 12 is needed to extract the data.";
    QTest::newRow("local header beyond end") << "offset" << "QZip: Failed to read the local header of entry 0";
}

void TestZip::refusedBodies()
{
    QFETCH(QString, damage);
    QFETCH(QString, warning);
    const QByteArray content = damage == QLatin1String("bomb") ? QByteArray(50 * 1024 * 1024, '\0') : textBytes(5000);
    QByteArray zip = makeArchive([&](QZipWriter &w) {
        w.setCompressing(damage == QLatin1String("storedcut") ? QZipWriter::CompressNever : QZipWriter::CompressAlways);
        w.addFileFromBytes(QStringLiteral("a"), content);
        w.addFileFromBytes(QStringLiteral("b"), "intact");
    });
    const int cd = centralHeader(zip, 0);
    const int local = localHeader(zip, 0);
    const int body = local + 30 + 1;
    const int bodySize = int(le32(zip, cd + 20));
    if (damage == QLatin1String("crc")) {
        put32(zip, cd + 16, le32(zip, cd + 16) ^ 1);
    } else if (damage == QLatin1String("truncate")) {
        put32(zip, cd + 20, quint32(bodySize / 2));
    } else if (damage == QLatin1String("corrupt")) {
        for (int i = 2; i < 40; ++i)
            zip[body + i] = char(0xFF);
    } else if (damage == QLatin1String("claim4g")) {
        put32(zip, cd + 24, 0xFFFFFFFF);
    } else if (damage == QLatin1String("bomb")) {
        put32(zip, cd + 24, 1000);
    } else if (damage == QLatin1String("storedcut")) {
        // The body is cut after 100 bytes and the directory follows at once.
        const QByteArray directory = zip.mid(centralHeader(zip, 0));
        zip = zip.left(body + 100) + directory;
        put32(zip, endRecord(zip) + 16, quint32(body + 100));
    } else if (damage == QLatin1String("encrypted")) {
        put16(zip, cd + 8, 0x0801);
    } else if (damage == QLatin1String("version")) {
        put16(zip, cd + 6, 46);
    } else if (damage == QLatin1String("zip64")) {
        put16(zip, cd + 6, 45);
        put32(zip, cd + 24, 0xFFFFFFFF);
    } else if (damage == QLatin1String("method")) {
        put16(zip, local + 8, 12);
    } else if (damage == QLatin1String("offset")) {
        put32(zip, cd + 42, quint32(zip.size() - 10));
    }
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("damaged.zip"));
    QVERIFY(write(path, zip));
    QZipReader reader(path);
    QTest::ignoreMessage(QtWarningMsg, qPrintable(warning));
    QCOMPARE(reader.fileData(QStringLiteral("a")), QByteArray());

    // Extraction fails that entry and keeps the rest.
    const QString out = dir.filePath(QStringLiteral("out"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: ")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: refusing entry \"a\"")));
    QVERIFY(!reader.extractTree(out));
    QVERIFY(!QFileInfo::exists(out + QStringLiteral("/a")));
    if (damage != QLatin1String("storedcut"))
        QCOMPARE(read(out + QStringLiteral("/b")), QByteArray("intact"));
}

void TestZip::writeFailure()
{
    if (!QFileInfo::exists(QStringLiteral("/dev/full")))
        QFAIL("/dev/full is needed to show write failures");
    {
        QZipWriter writer(QStringLiteral("/dev/full"));
        QCOMPARE(writer.writerStatus(), QZipWriter::StatusOk);
        writer.addFileFromBytes(QStringLiteral("small"), "tiny");
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: writing the archive failed")));
        writer.finish();
        QCOMPARE(writer.writerStatus(), QZipWriter::StatusWriteFailed);
    }
    QZipWriter writer(QStringLiteral("/dev/full"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: writing the archive failed")));
    writer.addFileFromBytes(QStringLiteral("large"), randomBytes(1 << 20));
    QCOMPARE(writer.writerStatus(), QZipWriter::StatusWriteFailed);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^QZip: writing the archive failed")));
    writer.finish();
    QCOMPARE(writer.writerStatus(), QZipWriter::StatusWriteFailed);
}

void TestZip::deflateFailureStores()
{
    const QByteArray content = textBytes(10000);
    qzipDeflateAllocator = [](void *, unsigned, unsigned) -> void * { return nullptr; };
    QTest::ignoreMessage(QtWarningMsg, "QZip: Z_MEM_ERROR: Not enough memory to compress file, skipping");
    const QByteArray zip = makeArchive([&](QZipWriter &w) { w.addFileFromBytes(QStringLiteral("a"), content); });
    qzipDeflateAllocator = nullptr;
    // Stored instead of an empty deflated body: the content is not lost.
    QCOMPARE(le16(zip, centralHeader(zip, 0) + 10), quint16(0));
    QCOMPARE(le32(zip, centralHeader(zip, 0) + 20), quint32(content.size()));
    QBuffer buffer;
    buffer.setData(zip);
    QZipReader reader(&buffer);
    QCOMPARE(reader.fileData(QStringLiteral("a")), content);
}

void TestZip::tooManyEntries()
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QZipWriter writer(&buffer);
        writer.setCompressing(QZipWriter::CompressNever);
        for (int i = 0; i < 0xFFFF; ++i)
            writer.addFileFromBytes(QString::number(i), QByteArray());
        QCOMPARE(writer.writerStatus(), QZipWriter::StatusOk);
        QTest::ignoreMessage(QtWarningMsg, "QZip: an archive holds at most 65535 entries, skipping \"65535\"");
        writer.addFileFromBytes(QStringLiteral("65535"), QByteArray());
        QCOMPARE(writer.writerStatus(), QZipWriter::StatusOtherFailure);
    }
    const QByteArray zip = buffer.data();
    QCOMPARE(le16(zip, endRecord(zip) + 10), quint16(0xFFFF));
    QBuffer in;
    in.setData(zip);
    QZipReader reader(&in);
    QCOMPARE(reader.entryCount(), 0xFFFF);
    QCOMPARE(reader.entryAt(0xFFFE).entryPath, QStringLiteral("65534"));
}

namespace {

// Endless bytes from a pipe, without the cost of making them.
class EndlessSource : public QIODevice
{
public:
    bool isSequential() const override { return true; }

protected:
    qint64 readData(char *, qint64 maxSize) override { return maxSize; }
    qint64 writeData(const char *, qint64) override { return -1; }
};

} // namespace

void TestZip::archiveOver4GiB_data()
{
    QTest::addColumn<bool>("fromPipe");
    QTest::newRow("size known ahead") << false;
    // Known only as it comes: stopped where the archive would pass 4 GiB.
    QTest::newRow("size known as it comes") << true;
}

void TestZip::archiveOver4GiB()
{
    QFETCH(bool, fromPipe);
    NullDevice sink;
    sink.open(QIODevice::WriteOnly);
    QZipWriter writer(&sink);
    writer.setCompressing(QZipWriter::CompressNever);
    const QByteArray block(256 * 1024 * 1024, 'z');
    for (int i = 0; i < 15; ++i)
        writer.addFileFromBytes(QStringLiteral("block%1").arg(i), block);
    QCOMPARE(writer.writerStatus(), QZipWriter::StatusOk);
    QTest::ignoreMessage(QtWarningMsg,
                         QRegularExpression(QStringLiteral("^QZip: the archive would reach 4 GiB.*\"last\"")));
    EndlessSource endless;
    endless.open(QIODevice::ReadOnly);
    if (fromPipe)
        writer.addFileFromDevice(QStringLiteral("last"), &endless);
    else
        writer.addFileFromBytes(QStringLiteral("last"), block);
    QCOMPARE(writer.writerStatus(), QZipWriter::StatusOtherFailure);
}

void TestZip::sourceCannotBeOpened()
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    {
        QZipWriter writer(&buffer);
        QFile missing(QStringLiteral("/nonexistent/source/file"));
        writer.addFileFromDevice(QStringLiteral("missing"), &missing);
        QCOMPARE(writer.writerStatus(), QZipWriter::StatusOpenFailed);
        writer.addFileFromBytes(QStringLiteral("later"), "still added");
    }
    QBuffer in;
    in.setData(buffer.data());
    QZipReader reader(&in);
    QCOMPARE(reader.entryCount(), 1);
    QCOMPARE(reader.fileData(QStringLiteral("later")), QByteArray("still added"));
}

void TestZip::notAddedToItself_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("by its path") << "path";
    QTest::newRow("by a hard link") << "hard link";
    QTest::newRow("into a save file") << "save file";
}

void TestZip::notAddedToItself()
{
    QFETCH(QString, how);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("self.zip"));
    {
        QSaveFile saved(path);
        std::unique_ptr<QZipWriter> writer;
        if (how == QLatin1String("save file")) {
            QVERIFY(saved.open(QIODevice::WriteOnly));
            writer.reset(new QZipWriter(&saved));
        } else {
            writer.reset(new QZipWriter(path));
        }
        writer->addFileFromBytes(QStringLiteral("a"), "alpha");
        QString other = path;
        if (how == QLatin1String("hard link")) {
            other = dir.filePath(QStringLiteral("link.zip"));
            QCOMPARE(::link(QFile::encodeName(path).constData(), QFile::encodeName(other).constData()), 0);
        } else if (how == QLatin1String("save file")) {
            // Its temporary file has no name of its own: the process's descriptor shows it.
            other = QStringLiteral("/proc/self/fd/%1").arg(saved.handle());
        }
        QFile self(other);
        QTest::ignoreMessage(QtWarningMsg, "QZip: the archive cannot hold itself, skipping \"self.zip\"");
        writer->addFileFromDevice(QStringLiteral("self.zip"), &self);
        QCOMPARE(writer->writerStatus(), QZipWriter::StatusOtherFailure);
        QVERIFY(!self.isOpen());
        writer->finish();
        if (how == QLatin1String("save file")) {
            // Finishing leaves a save file open for its owner to commit.
            QVERIFY(saved.isOpen());
            QVERIFY(saved.commit());
        }
    }
    QZipReader reader(path);
    QCOMPARE(reader.entryCount(), 1);
    QCOMPARE(reader.fileData(QStringLiteral("a")), QByteArray("alpha"));
}

void TestZip::addAfterFinish()
{
    // Opening the finished file again would empty it.
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("done.zip"));
    QZipWriter writer(path);
    writer.addFileFromBytes(QStringLiteral("a"), "alpha");
    writer.finish();
    const QByteArray finished = read(path);
    QTest::ignoreMessage(QtWarningMsg, "QZip: the archive is finished, skipping \"late\"");
    writer.addFileFromBytes(QStringLiteral("late"), "too late");
    QCOMPARE(writer.writerStatus(), QZipWriter::StatusOtherFailure);
    writer.finish();
    QCOMPARE(read(path), finished);
    QZipReader reader(path);
    QCOMPARE(reader.fileData(QStringLiteral("a")), QByteArray("alpha"));
}

QUILLARY_TEST_MAIN(TestZip)
#include "tst_zip.moc"
