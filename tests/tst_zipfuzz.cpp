#include "testmain.h"

// The fuzz targets, driven without libFuzzer: over the hostile corpus and a
// bounded run of mutated archives, so every build exercises them briefly.
#define QUILLARY_FUZZ_NO_ENTRY
#include "fuzz/zipreader_fuzzer.cpp"
#include "fuzz/zipwriteread_fuzzer.cpp"

#include "ziptestutil.h"

#include <QRandomGenerator>

using namespace ZipTest;

namespace {

int runReader(const QByteArray &bytes)
{
    return fuzzZipReader(reinterpret_cast<const uint8_t *>(bytes.constData()), size_t(bytes.size()));
}

QByteArray mutate(QByteArray bytes, QRandomGenerator &gen)
{
    const int steps = 1 + int(gen.bounded(8));
    for (int s = 0; s < steps && !bytes.isEmpty(); ++s) {
        const int at = int(gen.bounded(bytes.size()));
        switch (gen.bounded(5)) {
        case 0:
            bytes[at] = char(bytes.at(at) ^ (1 << gen.bounded(8)));
            break;
        case 1:
            bytes[at] = char(gen.bounded(256));
            break;
        case 2: // a field set to its largest value
            for (int i = at; i < qMin(at + 4, bytes.size()); ++i)
                bytes[i] = char(0xFF);
            break;
        case 3:
            bytes.truncate(at);
            break;
        default:
            bytes.insert(at, QByteArray(int(gen.bounded(16)), char(gen.bounded(256))));
            break;
        }
    }
    return bytes;
}

} // namespace

class TestZipFuzz : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void corpus();
    void mutatedArchives();
    void writeThenRead();

private:
    QList<QByteArray> seeds;
};

void TestZipFuzz::initTestCase()
{
    seeds.append(makeArchive([](QZipWriter &w) {
        w.setCompressing(QZipWriter::CompressAuto);
        w.addDirectoryEntry(QStringLiteral("dir"));
        w.addFileFromBytes(QStringLiteral("dir/text.txt"), textBytes(3000));
        w.addFileFromBytes(QStringLiteral("small"), "tiny");
        w.addLinkEntry(QStringLiteral("dir/link"), QStringLiteral("text.txt"));
        w.addFileFromBytes(QStringLiteral("random"), randomBytes(500));
    }));
    const QString dir = QStringLiteral(QUILLARY_SOURCE_DIR "/../shared/zip-corpus");
    for (const QString &name : QDir(dir).entryList(QStringList { "*.zip" }, QDir::Files, QDir::Name)) {
        const QByteArray bytes = read(dir + QLatin1Char('/') + name);
        if (bytes.size() < 256 * 1024)
            seeds.append(bytes);
    }
}

void TestZipFuzz::corpus()
{
    const QString dir = QStringLiteral(QUILLARY_SOURCE_DIR "/../shared/zip-corpus");
    if (!QFileInfo(dir).isDir())
        QSKIP("the hostile archive corpus ../shared/zip-corpus is not there");
    for (const QString &name : QDir(dir).entryList(QStringList { "*.zip" }, QDir::Files, QDir::Name))
        QCOMPARE(runReader(read(dir + QLatin1Char('/') + name)), 0);
}

void TestZipFuzz::mutatedArchives()
{
    QRandomGenerator gen(20261210);
    for (int i = 0; i < 3000; ++i)
        QCOMPARE(runReader(mutate(seeds.at(int(gen.bounded(seeds.size()))), gen)), 0);
}

void TestZipFuzz::writeThenRead()
{
    QRandomGenerator gen(42);
    for (int i = 0; i < 2000; ++i) {
        QByteArray input(int(gen.bounded(600)), Qt::Uninitialized);
        for (char &c : input)
            c = char(gen.bounded(256));
        QCOMPARE(fuzzZipWriteRead(reinterpret_cast<const uint8_t *>(input.constData()), size_t(input.size())), 0);
    }
}

QUILLARY_TEST_MAIN(TestZipFuzz)
#include "tst_zipfuzz.moc"
