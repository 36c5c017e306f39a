#include "testmain.h"

#include <QDir>
#include <QFile>
#include <QRandomGenerator>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

#include "bridge.h"
#include "peakmemory.h"

namespace {

bool makeSparse(const QString &path, qint64 size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.resize(size);
}

QString firstCall(const QSignalSpy &spy, const QString &prefix)
{
    for (const QList<QVariant> &args : spy)
        if (args.at(0).toString().startsWith(prefix))
            return args.at(0).toString();
    return QString();
}

} // namespace

// Local files too large to hand to the page whole: a project file, and a
// publish run's read-back. Refused with an error, never read into memory.
class TestFetchLimits : public QObject
{
    Q_OBJECT

    QTemporaryDir folder;

private slots:
    // First, while the process's peak memory is still low.
    void largeLocalProjectFileIsRefused()
    {
        QVERIFY(makeSparse(folder.filePath("huge.quillary"), qint64(1100) << 20));
        QVERIFY(makeSparse(folder.filePath("legacy.json"), qint64(1100) << 20));
        const qint64 before = TestMemory::peakRssKiB();
        Bridge bridge;
        const QString base = QUrl::fromLocalFile(folder.path()).toString();
        QCOMPARE(bridge.getProjectFile(base + "/huge.quillary"), QString());
        QVERIFY2(bridge.property("error").toString().contains("huge.quillary is larger than 512 MiB"),
                 qPrintable(bridge.property("error").toString()));
        // A refused .json is not replaced by the .quillary beside it: the user learns why.
        QCOMPARE(bridge.getProjectFile(base + "/legacy.json"), QString());
        QVERIFY2(bridge.property("error").toString().contains("legacy.json"), qPrintable(bridge.property("error").toString()));
        QVERIFY2(TestMemory::peakRssKiB() - before < 100 * 1024, qPrintable(QString("peak grew %1 kB").arg(TestMemory::peakRssKiB() - before)));

        // A file that fits is still read.
        QFile small(folder.filePath("small.quillary"));
        QVERIFY(small.open(QIODevice::WriteOnly));
        small.write("{ \"fits\": true }");
        small.close();
        QCOMPARE(bridge.getProjectFile(base + "/small.json"), QString("{ \"fits\": true }"));
    }

    // A run publishing to a local folder reads back a 1.1 GiB file: the page
    // is told, and the run pauses as for any failed task.
    void largeLocalReadBackIsRefused()
    {
        QVERIFY(QDir().mkpath(folder.filePath("site")));
        QVERIFY(makeSparse(folder.filePath("site/huge.bin"), qint64(1100) << 20));
        const qint64 before = TestMemory::peakRssKiB();
        Bridge bridge;
        QSignalSpy calls(&bridge, &Bridge::jsChanged);
        QVERIFY(bridge.initFileManager(QUrl::fromLocalFile(folder.filePath("site")).toString()));
        bridge.downloadFile("huge.bin");
        QTRY_VERIFY_WITH_TIMEOUT(!firstCall(calls, "Bridge._fmError").isEmpty(), 20000);
        QVERIFY2(firstCall(calls, "Bridge._fmError").contains("too large"), qPrintable(firstCall(calls, "Bridge._fmError")));
        QCOMPARE(firstCall(calls, "Bridge._fmFileReady"), QString());
        bridge.exitPublish();
        QTRY_VERIFY_WITH_TIMEOUT(!firstCall(calls, "Bridge._fmClose").isEmpty(), 20000);
        QVERIFY2(TestMemory::peakRssKiB() - before < 100 * 1024, qPrintable(QString("peak grew %1 kB").arg(TestMemory::peakRssKiB() - before)));
    }

    // The bytes handed to the page: Base64 exactly as before for a file that
    // fits (across the pieces it is made in), an error above the cap.
    void readBackReachesThePageAsBase64()
    {
        QByteArray bytes(500000, Qt::Uninitialized);
        QRandomGenerator random(11);
        for (char &c : bytes)
            c = char(random.bounded(256));
        Bridge bridge;
        QSignalSpy calls(&bridge, &Bridge::jsChanged);
        for (int size : { 0, 1, 2, 3, 196608, 196609, 500000 }) {
            calls.clear();
            bridge.pbFileReady(bytes.left(size));
            QCOMPARE(calls.size(), 1);
            QCOMPARE(calls.at(0).at(0).toString(),
                     "Bridge._fmFileReady(\"" + QString::fromLatin1(bytes.left(size).toBase64()) + "\")");
        }

        calls.clear();
        bridge.pbFileReady(QByteArray((qint64(512) << 20) + 1, 'x'));
        QCOMPARE(calls.size(), 1);
        QVERIFY2(calls.at(0).at(0).toString().startsWith("Bridge._fmError(\"The file read back is larger than 512 MiB"),
                 qPrintable(calls.at(0).at(0).toString()));
    }
};

QUILLARY_TEST_MAIN(TestFetchLimits)
#include "tst_fetchlimits.moc"
