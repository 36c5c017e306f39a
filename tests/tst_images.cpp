#include "testmain.h"

#include <QImageReader>
#include <QImageWriter>
#include <QPainter>
#include <QSignalSpy>

#include "bridge.h"
#include "filesizecap.h"
#include "miscutils.h"

namespace {

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded);
}

// An opaque image with a different colour in each quarter, so scaling shows.
QImage sample(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(QColor(40, 120, 200));
    QPainter painter(&image);
    painter.fillRect(0, 0, width / 2, height / 2, QColor(200, 40, 40));
    return image;
}

bool writeImage(const QString &path, const QImage &image, const char *format)
{
    QImageWriter writer(path, format);
    return writer.write(image);
}

// The output lies in the project-data folder, is named
// "<base>-<w>x<h>_<n>.<ext>" and holds an image of the expected size and format.
void checkOutput(const Bridge &bridge, const QString &url, const QString &source, const QSize &nameSize,
                 const QSize &expected, const QString &fileFormat)
{
    const QString out = urlToLocalPath(url);
    QCOMPARE(url, localPathToUrl(out));
    QCOMPARE(QFileInfo(out).absolutePath(), QDir(bridge.projectDataLocation()).absolutePath());
    const QString stem = QFileInfo(source).baseName() + QStringLiteral("-%1x%2_")
            .arg(nameSize.width()).arg(nameSize.height());
    const QString ext = fileFormat == QLatin1String("jpeg") ? QStringLiteral("jpg") : QStringLiteral("png");
    const QRegularExpression shape(QStringLiteral("^") + QRegularExpression::escape(stem)
                                   + QStringLiteral("\\d{1,2}\\.") + ext + QStringLiteral("$"));
    QVERIFY2(shape.match(QFileInfo(out).fileName()).hasMatch(), qPrintable(out));

    QImageReader reader(out);
    reader.setDecideFormatFromContent(true);
    QCOMPARE(reader.size(), expected);
    QCOMPARE(QString::fromLatin1(reader.format()), fileFormat);
    QVERIFY(!reader.read().isNull());
}

} // namespace

class TestImages : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void resizeImage_data();
    void resizeImage();
    void transformImage_data();
    void transformImage();
    void transformMargins_data();
    void transformMargins();
    void failures_data();
    void failures();
    void takenNamesAreNeverReplaced();
    void missingOutputFolder();
    void refusedWriteLeavesNoImage_data();
    void refusedWriteLeavesNoImage();
    void overloads();
    void getScreen();

private:
    QTemporaryDir *work = nullptr;
    QString at(const QString &name) const { return work->path() + QLatin1Char('/') + name; }
    QString makeSource(const QString &name, const QSize &size);
};

void TestImages::init()
{
    work = new QTemporaryDir;
    QVERIFY(work->isValid());
}

void TestImages::cleanup()
{
    delete work;
    work = nullptr;
}

// Writes a source image; names ending in .jpg/.jpeg (any case) hold JPEG bytes.
QString TestImages::makeSource(const QString &name, const QSize &size)
{
    const QString path = at(name);
    const bool jpeg = name.endsWith(QLatin1String(".jpg"), Qt::CaseInsensitive)
            || name.endsWith(QLatin1String(".jpeg"), Qt::CaseInsensitive);
    if (!writeImage(path, sample(size.width(), size.height()), jpeg ? "jpeg" : "png"))
        return QString();
    return path;
}

void TestImages::resizeImage_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QSize>("sourceSize");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("keep");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QSize>("expected");
    QTest::addColumn<QString>("fileFormat");   // what the written bytes are

    QTest::newRow("width 800 of 1600x1200") << "photo.png" << QSize(1600, 1200) << 800 << -1 << true << ""
                                            << QSize(800, 600) << "png";
    QTest::newRow("height 600 of 1600x1200") << "photo.png" << QSize(1600, 1200) << -1 << 600 << true << ""
                                             << QSize(800, 600) << "png";
    QTest::newRow("box, keep aspect") << "square.png" << QSize(1600, 1600) << 800 << 600 << true << ""
                                      << QSize(600, 600) << "png";
    QTest::newRow("box, stretch") << "square.png" << QSize(1600, 1600) << 800 << 600 << false << ""
                                  << QSize(800, 600) << "png";
    QTest::newRow("one side not smaller: unchanged") << "photo.png" << QSize(1600, 1200) << 2000 << 600 << true
                                                     << "" << QSize(1600, 1200) << "png";
    QTest::newRow("never enlarged") << "small.png" << QSize(100, 50) << 400 << -1 << true << ""
                                    << QSize(100, 50) << "png";
    QTest::newRow("no sizes: re-encoded") << "small.png" << QSize(100, 50) << -1 << -1 << true << ""
                                          << QSize(100, 50) << "png";
    QTest::newRow(".JPG is written as JPEG") << "shot.JPG" << QSize(320, 240) << 160 << -1 << true << ""
                                             << QSize(160, 120) << "jpeg";
    QTest::newRow(".jpeg is written as PNG") << "pic.jpeg" << QSize(320, 240) << 160 << -1 << true << ""
                                             << QSize(160, 120) << "png";
    QTest::newRow(".jpeg with format jpg") << "pic.jpeg" << QSize(320, 240) << 160 << -1 << true << "JPG"
                                           << QSize(160, 120) << "jpeg";
}

void TestImages::resizeImage()
{
    QFETCH(QString, source);
    QFETCH(QSize, sourceSize);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, keep);
    QFETCH(QString, format);
    QFETCH(QSize, expected);
    QFETCH(QString, fileFormat);
    Bridge bridge;
    const QString path = makeSource(source, sourceSize);
    QVERIFY(!path.isEmpty());
    const QByteArray before = [&] { QFile f(path); f.open(QIODevice::ReadOnly); return f.readAll(); }();

    const QString url = bridge.resizeImage(fileUrl(path), width, height, keep, 80, format);
    QVERIFY(!url.isEmpty());
    // Named after the source's own size, before scaling.
    checkOutput(bridge, url, source, sourceSize, expected, fileFormat);
    if (QTest::currentTestFailed())
        return;

    QFile again(path);
    QVERIFY(again.open(QIODevice::ReadOnly));
    QCOMPARE(again.readAll(), before);   // the source is never changed
}

void TestImages::transformImage_data()
{
    QTest::addColumn<QString>("source");
    QTest::addColumn<QSize>("sourceSize");
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("shrink");
    QTest::addColumn<bool>("stretch");
    QTest::addColumn<bool>("keep");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QSize>("expected");
    QTest::addColumn<QString>("fileFormat");

    QTest::newRow("width only enlarges, keeping aspect") << "small.png" << QSize(100, 50) << 400 << -1
            << false << false << true << "" << QSize(400, 200) << "png";
    QTest::newRow("height only reduces, keeping aspect") << "photo.png" << QSize(1600, 1200) << 0 << 300
            << false << false << true << "" << QSize(400, 300) << "png";
    QTest::newRow("box, keeping aspect") << "photo.png" << QSize(1600, 1200) << 300 << 300
            << false << false << true << "" << QSize(300, 225) << "png";
    QTest::newRow("stretched to 300x300") << "small.png" << QSize(100, 50) << 300 << 300
            << false << false << false << "" << QSize(300, 300) << "png";
    QTest::newRow("letterboxed into 300x300") << "small.png" << QSize(100, 50) << 300 << 300
            << true << true << true << "" << QSize(300, 300) << "png";
    QTest::newRow("no size: only re-encoded as jpg") << "small.png" << QSize(100, 50) << -1 << -1
            << false << false << true << "jpg" << QSize(100, 50) << "jpeg";
    QTest::newRow(".JPG is written as JPEG") << "shot.JPG" << QSize(320, 240) << 160 << -1
            << false << false << true << "" << QSize(160, 120) << "jpeg";
    QTest::newRow(".jpeg is written as PNG") << "pic.jpeg" << QSize(320, 240) << 160 << -1
            << false << false << true << "" << QSize(160, 120) << "png";
}

void TestImages::transformImage()
{
    QFETCH(QString, source);
    QFETCH(QSize, sourceSize);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, shrink);
    QFETCH(bool, stretch);
    QFETCH(bool, keep);
    QFETCH(QString, format);
    QFETCH(QSize, expected);
    QFETCH(QString, fileFormat);
    Bridge bridge;
    const QString path = makeSource(source, sourceSize);
    QVERIFY(!path.isEmpty());

    const QString url = bridge.transformImage(fileUrl(path), width, height, shrink, stretch, keep,
                                              QString(), 90, format);
    QVERIFY(!url.isEmpty());
    // Named after the finished size.
    checkOutput(bridge, url, source, expected, expected, fileFormat);
}

void TestImages::transformMargins_data()
{
    QTest::addColumn<QString>("color");
    QTest::addColumn<QColor>("margin");
    QTest::newRow("empty colour: transparent") << "" << QColor(0, 0, 0, 0);
    QTest::newRow("unparsable colour: transparent") << "not a colour" << QColor(0, 0, 0, 0);
    QTest::newRow("hex colour") << "#00ff00" << QColor(0, 255, 0);
    QTest::newRow("named colour") << "yellow" << QColor(255, 255, 0);
}

// A 100x50 image letterboxed into 300x300 covers the middle 300x150; the
// bands above and below show the fill colour.
void TestImages::transformMargins()
{
    QFETCH(QString, color);
    QFETCH(QColor, margin);
    Bridge bridge;
    const QString path = makeSource(QStringLiteral("small.png"), QSize(100, 50));
    const QString url = bridge.transformImage(fileUrl(path), 300, 300, true, true, true, color, 1, QString());
    QVERIFY(!url.isEmpty());
    const QImage out(urlToLocalPath(url));
    QCOMPARE(out.size(), QSize(300, 300));
    QVERIFY(out.hasAlphaChannel() || margin.alpha() == 255);
    for (const QPoint &p : { QPoint(150, 10), QPoint(5, 290), QPoint(299, 0) })
        QCOMPARE(QColor::fromRgba(out.pixel(p)), margin);
    QCOMPARE(QColor::fromRgba(out.pixel(250, 200)), QColor(40, 120, 200));   // the picture itself
    QCOMPARE(qAlpha(out.pixel(150, 150)), 255);
}

void TestImages::failures_data()
{
    QTest::addColumn<QString>("source");   // "missing", "empty url", "oversized", "not an image" or a size
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::addColumn<bool>("keep");
    QTest::addColumn<bool>("resizeFails");

    QTest::newRow("empty url") << "empty url" << 100 << -1 << true << true;
    QTest::newRow("missing source") << "missing" << 100 << -1 << true << true;
    QTest::newRow("not an image") << "not an image" << 100 << -1 << true << true;
    QTest::newRow("source wider than 16384") << "oversized" << 100 << -1 << true << true;
    QTest::newRow("width above 16384") << "200x100" << 20000 << 100 << true << true;
    QTest::newRow("height above 16384") << "200x100" << -1 << 16385 << true << true;
    // Keeping the aspect of a tall image at width 16000 would need 1.6 million rows.
    QTest::newRow("keep-aspect result above 16384") << "10x1000" << 16000 << -1 << true << false;
    // A side not above 0 with keep-aspect off is no size at all: no image.
    QTest::newRow("invalid target size") << "200x100" << 300 << 0 << false << false;
}

void TestImages::failures()
{
    QFETCH(QString, source);
    QFETCH(int, width);
    QFETCH(int, height);
    QFETCH(bool, keep);
    QFETCH(bool, resizeFails);
    Bridge bridge;
    QString url;
    if (source == QLatin1String("missing")) {
        url = fileUrl(at(QStringLiteral("missing.png")));
    } else if (source == QLatin1String("not an image")) {
        QFile f(at(QStringLiteral("text.png")));
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("this is not a picture");
        f.close();
        url = fileUrl(f.fileName());
    } else if (source == QLatin1String("oversized")) {
        QImage wide(20000, 2, QImage::Format_Mono);
        wide.fill(0);
        QVERIFY(wide.save(at(QStringLiteral("wide.png"))));
        url = fileUrl(at(QStringLiteral("wide.png")));
    } else if (source != QLatin1String("empty url")) {
        const QStringList wh = source.split(QLatin1Char('x'));
        url = fileUrl(makeSource(QStringLiteral("s.png"), QSize(wh.at(0).toInt(), wh.at(1).toInt())));
    }
    const int before = QDir(bridge.projectDataLocation()).entryList(QDir::Files).size();
    if (resizeFails)
        QCOMPARE(bridge.resizeImage(url, width, height, keep, 80, QString()), QString());
    QCOMPARE(bridge.transformImage(url, width, height, false, false, keep, QString(), 80, QString()), QString());
    QCOMPARE(QDir(bridge.projectDataLocation()).entryList(QDir::Files).size(), before);
}

// Every short number for this name is taken: the call finds another name, and
// none of the files that pages may still show is replaced.
void TestImages::takenNamesAreNeverReplaced()
{
    Bridge bridge;
    const QString path = makeSource(QStringLiteral("busy.png"), QSize(40, 30));
    const QString folder = QDir(bridge.projectDataLocation()).absolutePath();
    for (int n = 0; n < 100; ++n) {
        QFile taken(folder + QStringLiteral("/busy-40x30_%1.png").arg(n));
        QVERIFY(taken.open(QIODevice::WriteOnly));
        taken.write("in use " + QByteArray::number(n));
    }
    QSet<QString> made;
    for (int i = 0; i < 3; ++i) {
        const QString url = bridge.resizeImage(fileUrl(path), 20, -1, true, 80, QString());
        QVERIFY(!url.isEmpty());
        const QString out = urlToLocalPath(url);
        QVERIFY(QRegularExpression(QStringLiteral("/busy-40x30_\\d+\\.png$")).match(out).hasMatch());
        QCOMPARE(QImage(out).size(), QSize(20, 15));
        made.insert(out);
    }
    QCOMPARE(made.size(), 3);
    for (int n = 0; n < 100; ++n) {
        QFile taken(folder + QStringLiteral("/busy-40x30_%1.png").arg(n));
        QVERIFY(taken.open(QIODevice::ReadOnly));
        QCOMPARE(taken.readAll(), "in use " + QByteArray::number(n));
    }
}

// Outputs are never written elsewhere when the project-data folder is gone.
void TestImages::missingOutputFolder()
{
    Bridge bridge;
    const QString url = fileUrl(makeSource(QStringLiteral("small.png"), QSize(100, 50)));
    const QString folder = bridge.projectDataLocation();
    QVERIFY(QDir(folder).removeRecursively());
    QCOMPARE(bridge.resizeImage(url, 50, -1, true, 80, QString()), QString());
    QCOMPARE(bridge.transformImage(url, 50, -1, false, false, true, QString(), 80, QString()), QString());
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(QDir().mkpath(folder));
    QVERIFY(!bridge.resizeImage(url, 50, -1, true, 80, QString()).isEmpty());
}

void TestImages::refusedWriteLeavesNoImage_data()
{
    QTest::addColumn<QString>("slot");
    QTest::addColumn<QString>("format");
    QTest::addColumn<int>("side");
    // A few kilobytes of noise stay in the write buffer until the last flush;
    // a larger image is refused while it is being written.
    for (const char *slot : { "resizeImage", "transformImage" }) {
        QTest::addRow("%s, png refused at the last flush", slot) << slot << "png" << 40;
        QTest::addRow("%s, jpg refused at the last flush", slot) << slot << "jpg" << 40;
        QTest::addRow("%s, png refused while writing", slot) << slot << "png" << 400;
    }
}

// The disk takes 1,000 bytes: no URL, and no cut image (nor a temporary file)
// left in the project-data folder for a page to show.
void TestImages::refusedWriteLeavesNoImage()
{
    QFETCH(QString, slot);
    QFETCH(QString, format);
    QFETCH(int, side);
    Bridge bridge;
    QImage noise(side, side, QImage::Format_RGB32);
    quint32 seed = 12345;
    for (int y = 0; y < side; ++y)
        for (int x = 0; x < side; ++x) {
            seed = seed * 1103515245u + 12345u;
            noise.setPixel(x, y, seed >> 8);
        }
    const QString source = at(QStringLiteral("noise.png"));
    QVERIFY(noise.save(source, "png"));
    QVERIFY(QFileInfo(source).size() > 3000);
    const QStringList before = QDir(bridge.projectDataLocation()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);
    QString url;
    {
        FileSizeCap cap(1000);
        QVERIFY(cap.active);
        url = slot == QLatin1String("resizeImage")
                ? bridge.resizeImage(fileUrl(source), side, side, true, 100, format)
                : bridge.transformImage(fileUrl(source), -1, -1, false, false, true, QString(), 100, format);
    }
    QCOMPARE(url, QString());
    QCOMPARE(QDir(bridge.projectDataLocation()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
    // Without the cap the same call writes its file.
    QVERIFY(!bridge.resizeImage(fileUrl(source), side, side, true, 100, format).isEmpty());
}

// Scripts reach the shorter forms by signature, the rest taking their defaults.
void TestImages::overloads()
{
    Bridge bridge;
    const QString url = fileUrl(makeSource(QStringLiteral("small.png"), QSize(100, 50)));
    QString result;
    QVERIFY(QMetaObject::invokeMethod(&bridge, "transformImage", Q_RETURN_ARG(QString, result),
                                      Q_ARG(QString, url), Q_ARG(int, 400)));
    QCOMPARE(QImage(urlToLocalPath(result)).size(), QSize(400, 200));
    QVERIFY(QMetaObject::invokeMethod(&bridge, "resizeImage", Q_RETURN_ARG(QString, result),
                                      Q_ARG(QString, url), Q_ARG(int, 50)));
    QCOMPARE(QImage(urlToLocalPath(result)).size(), QSize(50, 25));
    QVERIFY(QMetaObject::invokeMethod(&bridge, "resizeImage", Q_RETURN_ARG(QString, result), Q_ARG(QString, url)));
    QCOMPARE(QImage(urlToLocalPath(result)).size(), QSize(100, 50));

    int resizes = 0;
    int transforms = 0;
    for (int i = 0; i < bridge.metaObject()->methodCount(); ++i) {
        const QByteArray name = bridge.metaObject()->method(i).name();
        resizes += name == "resizeImage";
        transforms += name == "transformImage";
    }
    QCOMPARE(resizes, 6);
    QCOMPARE(transforms, 9);
}

void TestImages::getScreen()
{
    Bridge bridge;
    QSignalSpy spy(&bridge, &Bridge::makeProjectScreen);
    bridge.getScreen(QStringLiteral("file:///tmp/shot.png"), 320, 200, 10, 20, 640, 400);
    QCOMPARE(spy.count(), 1);
    const QList<QVariant> args = spy.takeFirst();
    QCOMPARE(args.at(0).toString(), QString());
    QCOMPARE(args.at(1).toString(), QStringLiteral("file:///tmp/shot.png"));
    QCOMPARE(args.at(2).toSize(), QSize(320, 200));
    QCOMPARE(args.at(3).toRect(), QRect(10, 20, 640, 400));
}

QUILLARY_TEST_MAIN(TestImages)
#include "tst_images.moc"
