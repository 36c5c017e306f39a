#include "testmain.h"

#include "bridge.h"
#include "peakmemory.h"
#include "qzipreader.h"
#include "qzipwriter.h"
#include "ziptestutil.h"

#include <QBuffer>
#include <QRegularExpression>

#include <zlib.h>

#include <cstring>
#include <memory>

using namespace ZipTest;

// Entries larger than the writer's piece of 1 MiB: read and deflated piece by
// piece, their sizes and CRC patched into the local header afterwards, or
// written after the body where the archive cannot seek.

namespace {

constexpr int Piece = 1024 * 1024;

// Serves the first bytes of a content, then fails as a bad disk would.
class FailingDevice : public QIODevice
{
public:
    FailingDevice(const QByteArray &content, qint64 failAt) : m_content(content), m_failAt(failAt) {}
    qint64 size() const override { return m_content.size(); }

protected:
    qint64 readData(char *data, qint64 maxSize) override
    {
        if (m_at >= m_failAt)
            return -1;
        const qint64 n = qMin(maxSize, qMin(m_failAt, qint64(m_content.size())) - m_at);
        std::memcpy(data, m_content.constData() + m_at, size_t(n));
        m_at += n;
        return n;
    }
    qint64 writeData(const char *, qint64) override { return -1; }

private:
    QByteArray m_content;
    qint64 m_failAt;
    qint64 m_at = 0;
};

quint32 crcOf(const QByteArray &bytes)
{
    return quint32(crc32(crc32(0, nullptr, 0), reinterpret_cast<const Bytef *>(bytes.constData()),
                         uInt(bytes.size())));
}

} // namespace

class TestZipStream : public QObject
{
    Q_OBJECT

private slots:
    void largeEntries_data();
    void largeEntries();
    void droppedEntry_data();
    void droppedEntry();
    void entryOver4GiBRefused();
    void memoryStaysBounded();
};

void TestZipStream::largeEntries_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<bool>("random");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("archive");
    QTest::addColumn<int>("policy");
    const int autoPolicy = QZipWriter::CompressAuto;
    const int never = QZipWriter::CompressNever;
    QTest::newRow("text, five pieces, file to file") << 5 * Piece + 123 << false << "file" << "file" << autoPolicy;
    QTest::newRow("random, three pieces, file to file") << 3 * Piece << true << "file" << "file" << autoPolicy;
    QTest::newRow("stored, three pieces") << 3 * Piece + 7 << true << "bytes" << "buffer" << never;
    QTest::newRow("one byte short of a piece") << Piece - 1 << false << "bytes" << "buffer" << autoPolicy;
    QTest::newRow("exactly one piece") << Piece << false << "file" << "buffer" << autoPolicy;
    QTest::newRow("one piece and a byte") << Piece + 1 << false << "bytes" << "buffer" << autoPolicy;
    QTest::newRow("from a pipe, text") << 2 * Piece + 5 << false << "sequential" << "buffer" << autoPolicy;
    QTest::newRow("from a pipe, exactly one piece") << Piece << true << "sequential" << "buffer" << autoPolicy;
    QTest::newRow("from a pipe, small") << 100 << false << "sequential" << "buffer" << autoPolicy;
    QTest::newRow("into a pipe, text") << 4 * Piece + 1 << false << "file" << "sequential" << autoPolicy;
    QTest::newRow("into a pipe, stored") << 2 * Piece + 9 << true << "bytes" << "sequential" << never;
    QTest::newRow("into a pipe, from a pipe") << Piece << false << "sequential" << "sequential" << autoPolicy;
    QTest::newRow("into a pipe, small") << Piece - 1 << true << "file" << "sequential" << autoPolicy;
    QTest::newRow("into a pipe, exactly one piece") << Piece << false << "file" << "sequential" << autoPolicy;
}

void TestZipStream::largeEntries()
{
    QFETCH(int, size);
    QFETCH(bool, random);
    QFETCH(QString, source);
    QFETCH(QString, archive);
    QFETCH(int, policy);
    const QByteArray content = random ? randomBytes(size) : textBytes(size);
    QTemporaryDir dir;
    const QString sourcePath = dir.filePath(QStringLiteral("source"));
    QVERIFY(write(sourcePath, content));
    const QString archivePath = dir.filePath(QStringLiteral("a.zip"));

    QBuffer buffer;
    QFile archiveFile(archivePath);
    SequentialDevice pipe(&archiveFile);
    {
        std::unique_ptr<QZipWriter> writer;
        if (archive == QLatin1String("file")) {
            writer.reset(new QZipWriter(archivePath));
        } else if (archive == QLatin1String("buffer")) {
            buffer.open(QIODevice::WriteOnly);
            writer.reset(new QZipWriter(&buffer));
        } else {
            QVERIFY(archiveFile.open(QIODevice::WriteOnly));
            pipe.open(QIODevice::WriteOnly);
            writer.reset(new QZipWriter(&pipe));
        }
        writer->setCompressing(QZipWriter::CompressionPolicy(policy));
        writer->addFileFromBytes(QStringLiteral("before"), "first entry");
        QFile file(sourcePath);
        QBuffer bytes;
        bytes.setData(content);
        SequentialDevice fromPipe(&file);
        if (source == QLatin1String("file")) {
            writer->addFileFromDevice(QStringLiteral("big"), &file);
        } else if (source == QLatin1String("bytes")) {
            writer->addFileFromBytes(QStringLiteral("big"), content);
        } else {
            QVERIFY(file.open(QIODevice::ReadOnly));
            fromPipe.open(QIODevice::ReadOnly);
            writer->addFileFromDevice(QStringLiteral("big"), &fromPipe);
        }
        writer->addFileFromBytes(QStringLiteral("after"), textBytes(3000));
        writer->finish();
        QCOMPARE(writer->writerStatus(), QZipWriter::StatusOk);
    }
    archiveFile.close();
    const QByteArray zip = archive == QLatin1String("buffer") ? buffer.data() : read(archivePath);

    // Sizes and CRC stand in the central header in every case.
    const int cd = centralHeader(zip, 1);
    const quint32 compressed = le32(zip, cd + 20);
    QCOMPARE(le32(zip, cd + 16), crcOf(content));
    QCOMPARE(le32(zip, cd + 24), quint32(size));
    QCOMPARE(le16(zip, cd + 10), quint16(policy == QZipWriter::CompressNever ? 0 : 8));
    if (random && policy != QZipWriter::CompressNever)
        QVERIFY(compressed > quint32(size));
    else if (!random && size > 1000)
        QVERIFY(compressed < quint32(size) / 4);

    // Only a sequential archive needs a data descriptor, and only for an entry
    // whose end was not in its first piece.
    const bool endSeen = size < Piece || (size == Piece && source != QLatin1String("sequential"));
    const bool descriptor = archive == QLatin1String("sequential") && !endSeen;
    const quint16 flags = le16(zip, cd + 8);
    QCOMPARE(bool(flags & 0x0008), descriptor);
    const int local = localHeader(zip, 1);
    QCOMPARE(le32(zip, local), quint32(0x04034b50));
    QCOMPARE(le16(zip, local + 6), flags);
    QCOMPARE(le16(zip, local + 8), le16(zip, cd + 10));
    const int bodyEnd = local + 30 + 3 + int(compressed);
    if (descriptor) {
        QCOMPARE(le32(zip, local + 14), quint32(0));
        QCOMPARE(le32(zip, local + 18), quint32(0));
        QCOMPARE(le32(zip, local + 22), quint32(0));
        QCOMPARE(le32(zip, bodyEnd), quint32(0x08074b50));
        QCOMPARE(zip.mid(bodyEnd + 4, 12), zip.mid(cd + 16, 12));
        QCOMPARE(localHeader(zip, 2), bodyEnd + 16);
    } else {
        QCOMPARE(zip.mid(local + 14, 12), zip.mid(cd + 16, 12));
        QCOMPARE(localHeader(zip, 2), bodyEnd);
    }

    QBuffer in;
    in.setData(zip);
    QZipReader reader(&in);
    QCOMPARE(reader.entryCount(), 3);
    QCOMPARE(reader.fileData(QStringLiteral("before")), QByteArray("first entry"));
    QCOMPARE(reader.fileData(QStringLiteral("big")), content);
    QCOMPARE(reader.fileData(QStringLiteral("after")), textBytes(3000));
}

void TestZipStream::droppedEntry_data()
{
    QTest::addColumn<bool>("sequential");
    QTest::addColumn<int>("failAt");
    QTest::newRow("seekable, fails in the third piece") << false << 2 * Piece + 500;
    QTest::newRow("seekable, fails at once") << false << 0;
    QTest::newRow("sequential, fails in the third piece") << true << 2 * Piece + 500;
}

void TestZipStream::droppedEntry()
{
    QFETCH(bool, sequential);
    QFETCH(int, failAt);
    const QByteArray content = textBytes(4 * Piece);
    auto fill = [&](QZipWriter &w, bool withBad) {
        w.setCompressing(QZipWriter::CompressAuto);
        w.addFileFromBytes(QStringLiteral("before"), textBytes(2000));
        if (withBad) {
            FailingDevice bad(content, failAt);
            QTest::ignoreMessage(QtWarningMsg, "QZip: reading \"bad\" failed, skipping");
            w.addFileFromDevice(QStringLiteral("bad"), &bad);
            QCOMPARE(w.writerStatus(), QZipWriter::StatusOtherFailure);
        }
        w.addFileFromBytes(QStringLiteral("after"), "still here");
    };
    const QByteArray reference = makeArchive([&](QZipWriter &w) { fill(w, false); });
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    SequentialDevice pipe(&buffer);
    pipe.open(QIODevice::WriteOnly);
    {
        QZipWriter writer(sequential ? static_cast<QIODevice *>(&pipe) : &buffer);
        fill(writer, true);
        writer.finish();
        QCOMPARE(writer.writerStatus(), QZipWriter::StatusOtherFailure);
    }
    const QByteArray zip = buffer.data();
    // Where it can, the writer overwrites what the dropped entry left: the
    // archive is the one without it.
    if (!sequential)
        QCOMPARE(zip.size(), reference.size());
    else
        QVERIFY(zip.size() > reference.size());
    QBuffer in;
    in.setData(zip);
    QZipReader reader(&in);
    QStringList names;
    for (const QZipReader::FileInfo &info : reader.listEntries())
        names.append(info.entryPath);
    QCOMPARE(names, QStringList({ "before", "after" }));
    QCOMPARE(reader.fileData(QStringLiteral("before")), textBytes(2000));
    QCOMPARE(reader.fileData(QStringLiteral("after")), QByteArray("still here"));
}

void TestZipStream::entryOver4GiBRefused()
{
    // A sparse file: 4 GiB on paper, nothing on disk; refused before it is read.
    QTemporaryDir dir;
    const QString huge = dir.filePath(QStringLiteral("huge"));
    {
        QFile file(huge);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.resize(0x100000000LL));
    }
    const QString archive = dir.filePath(QStringLiteral("a.zip"));
    {
        QZipWriter writer(archive);
        QFile file(huge);
        QTest::ignoreMessage(QtWarningMsg, "QZip: \"huge\" is too large for an archive entry, skipping");
        writer.addFileFromDevice(QStringLiteral("huge"), &file);
        QCOMPARE(writer.writerStatus(), QZipWriter::StatusOtherFailure);
        QCOMPARE(file.pos(), qint64(0));
        writer.addFileFromBytes(QStringLiteral("small"), "kept");
    }
    QZipReader reader(archive);
    QCOMPARE(reader.entryCount(), 1);
    QCOMPARE(reader.fileData(QStringLiteral("small")), QByteArray("kept"));
}

void TestZipStream::memoryStaysBounded()
{
    // 200 MB of zeros from a sparse file, packed through the script slot.
    QTemporaryDir dir;
    const qint64 size = 200LL * 1024 * 1024;
    const QString big = dir.filePath(QStringLiteral("site/big.bin"));
    QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("site"))));
    {
        QFile file(big);
        QVERIFY(file.open(QIODevice::WriteOnly));
        QVERIFY(file.write("head") == 4);
        QVERIFY(file.resize(size));
    }
    const QString archive = dir.filePath(QStringLiteral("site.zip"));
    Bridge bridge;
    QVERIFY(TestMemory::resetPeak());
    const qint64 before = TestMemory::currentRssKiB();
    QVERIFY(bridge.zip(dir.filePath(QStringLiteral("site")), archive));
    const qint64 peak = TestMemory::peakRssKiB();
    qInfo() << "resident before" << before << "KiB, peak while zipping" << peak << "KiB";
    QVERIFY(before > 0 && peak > 0);
    QVERIFY2(peak - before < 16 * 1024, qPrintable(QStringLiteral("peak grew by %1 KiB").arg(peak - before)));
    QVERIFY(QFileInfo(archive).size() < size / 100);

    // The reader gets the same bytes back.
    QZipReader reader(archive);
    QCOMPARE(reader.entryCount(), 1);
    QCOMPARE(reader.entryAt(0).byteSize, size);
    const QString out = dir.filePath(QStringLiteral("out"));
    QVERIFY(reader.extractTree(out));
    QFile unpacked(out + QStringLiteral("/site/big.bin"));
    QVERIFY(unpacked.open(QIODevice::ReadOnly));
    QCOMPARE(unpacked.size(), size);
    QCOMPARE(unpacked.read(4), QByteArray("head"));
    const QByteArray zeros(Piece, '\0');
    QByteArray chunk = unpacked.read(Piece - 4);
    QCOMPARE(chunk, zeros.left(Piece - 4));
    while (!(chunk = unpacked.read(Piece)).isEmpty())
        QVERIFY(chunk == zeros.left(chunk.size()));
}

QUILLARY_TEST_MAIN(TestZipStream)
#include "tst_zipstream.moc"
