#include "testmain.h"

#include <QTemporaryDir>
#include <QTextCodec>
#include <QXmlStreamReader>

#include "miscutils.h"
#include "miscutils_gui.h"

namespace {

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A 4-quadrant source: red top-left, green top-right, blue bottom-left, white bottom-right.
QImage quadrants(int w, int h)
{
    QImage image(w, h, QImage::Format_ARGB32);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const bool right = x >= w / 2, bottom = y >= h / 2;
            QRgb c = !bottom ? (!right ? qRgb(255, 0, 0) : qRgb(0, 255, 0))
                             : (!right ? qRgb(0, 0, 255) : qRgb(255, 255, 255));
            image.setPixel(x, y, c);
        }
    return image;
}

// The bounding box of pixels that differ from the fill colour.
QRect paintedRect(const QImage &image, QRgb fill)
{
    QRect box;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (image.pixel(x, y) != fill)
                box |= QRect(x, y, 1, 1);
    return box;
}

} // namespace

class TestMiscUtilsIo : public QObject
{
    Q_OBJECT

private slots:
    void saveAndLoadText();
    void unknownCodec();
    void copyDirOverwrite_data();
    void copyDirOverwrite();
    void copyDirSkipsHiddenAndMissing();
    void copyDirOntoItself();
    void copyDirIntoOwnSubfolder();
    void copyDirLinkCycle();
    void fitImage_data();
    void fitImage();
    void fitImageKeepsFillAndRefusesBadSizes();
    void removeDirKeepsLinkTargets();
    void detectCodec_data();
    void detectCodec();
    void colours();
    void fileExistsForms();
    void skipElementStopsAfterItsEnd();

private:
    QTemporaryDir tmp;
};

void TestMiscUtilsIo::saveAndLoadText()
{
    const QString path = tmp.filePath(QStringLiteral("text/a b.txt"));
    QDir().mkpath(QFileInfo(path).absolutePath());
    QVERIFY(writeBytes(path, QByteArray(200, 'x')));
    const QString text = QStringLiteral("h\u00e9llo\r\nline\n\u2028end");
    QVERIFY(saveText(path, text, QStringLiteral("UTF-8")));
    QCOMPARE(readBytes(path), text.toUtf8());   // shorter than before, no byte-order mark
    QCOMPARE(loadText(path, QStringLiteral("UTF-8")), text);

    QVERIFY(writeBytes(path, QByteArray("\xEF\xBB\xBFwith mark")));
    QCOMPARE(loadText(path, QStringLiteral("UTF-8")), QStringLiteral("with mark"));

    QVERIFY(!saveText(tmp.filePath(QStringLiteral("no/such/folder/x.txt")), text, QStringLiteral("UTF-8")));
    QCOMPARE(loadText(tmp.filePath(QStringLiteral("missing.txt")), QStringLiteral("UTF-8")), QString());
    QCOMPARE(textToBytes(QStringLiteral("\u00e9"), QStringLiteral("UTF-8")), QByteArray("\xC3\xA9"));
}

void TestMiscUtilsIo::unknownCodec()
{
    const QString path = tmp.filePath(QStringLiteral("codec.txt"));
    QVERIFY(writeBytes(path, "kept"));
    QVERIFY(!saveText(path, QStringLiteral("new"), QStringLiteral("no-such-codec")));
    QCOMPARE(readBytes(path), QByteArray("kept"));
    QCOMPARE(loadText(path, QStringLiteral("no-such-codec")), QString());
    QCOMPARE(textToBytes(QStringLiteral("x"), QStringLiteral("no-such-codec")), QByteArray());
}

void TestMiscUtilsIo::copyDirOverwrite_data()
{
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<QByteArray>("expected");
    QTest::newRow("overwrite on") << true << QByteArray("new");
    QTest::newRow("overwrite off") << false << QByteArray("old");
}

void TestMiscUtilsIo::copyDirOverwrite()
{
    QFETCH(bool, overwrite);
    QFETCH(QByteArray, expected);
    QTemporaryDir root;
    const QString src = root.filePath(QStringLiteral("src")), dst = root.filePath(QStringLiteral("dst"));
    QVERIFY(writeBytes(src + "/same.txt", "new"));
    QVERIFY(writeBytes(src + "/sub/deep/f.txt", "deep"));
    QVERIFY(writeBytes(dst + "/same.txt", "old"));
    QVERIFY(writeBytes(dst + "/only-dest.txt", "mine"));

    copyDir(src, dst, overwrite);
    QCOMPARE(readBytes(dst + "/same.txt"), expected);
    QCOMPARE(readBytes(dst + "/only-dest.txt"), QByteArray("mine"));
    QCOMPARE(readBytes(dst + "/sub/deep/f.txt"), QByteArray("deep"));
}

void TestMiscUtilsIo::copyDirSkipsHiddenAndMissing()
{
    QTemporaryDir root;
    const QString src = root.filePath(QStringLiteral("src")), dst = root.filePath(QStringLiteral("a/b/dst"));
    QVERIFY(writeBytes(src + "/.hidden", "h"));
    QVERIFY(writeBytes(src + "/.git/config", "h"));
    QVERIFY(writeBytes(src + "/visible", "v"));
    copyDir(src, dst, true);
    QCOMPARE(readBytes(dst + "/visible"), QByteArray("v"));
    QVERIFY(!QFileInfo::exists(dst + "/.hidden"));
    QVERIFY(!QFileInfo::exists(dst + "/.git"));

    const QString nowhere = root.filePath(QStringLiteral("not-made"));
    copyDir(root.filePath(QStringLiteral("missing")), nowhere, true);
    QVERIFY(!QFileInfo::exists(nowhere));
}

void TestMiscUtilsIo::copyDirOntoItself()
{
    QTemporaryDir root;
    const QString src = root.filePath(QStringLiteral("site"));
    QVERIFY(writeBytes(src + "/index.html", "keep me"));
    QVERIFY(QFile::link(src, root.filePath(QStringLiteral("alias"))));

    copyDir(src, src, true);
    copyDir(src + "/./", src, true);
    copyDir(root.filePath(QStringLiteral("alias")), src, true);   // the same folder through a link
    QCOMPARE(readBytes(src + "/index.html"), QByteArray("keep me"));
    QCOMPARE(QDir(src).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{ "index.html" });
}

void TestMiscUtilsIo::copyDirIntoOwnSubfolder()
{
    QTemporaryDir root;
    const QString src = root.filePath(QStringLiteral("site"));
    QVERIFY(writeBytes(src + "/index.html", "x"));
    copyDir(src, src + "/backup/copy", true);
    QVERIFY(!QFileInfo::exists(src + "/backup"));
    QCOMPARE(QDir(src).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList{ "index.html" });
}

void TestMiscUtilsIo::copyDirLinkCycle()
{
    QTemporaryDir root;
    const QString src = root.filePath(QStringLiteral("src")), dst = root.filePath(QStringLiteral("dst"));
    QVERIFY(writeBytes(src + "/a/file.txt", "a"));
    QVERIFY(writeBytes(root.filePath(QStringLiteral("target.txt")), "linked"));
    QVERIFY(QFile::link(src, src + "/a/loop"));             // back to the top
    QVERIFY(QFile::link(src + "/a", src + "/a/self"));      // to its own folder
    QVERIFY(QFile::link(dst, src + "/to-dest"));            // into the copy being made
    QVERIFY(QFile::link(root.filePath(QStringLiteral("target.txt")), src + "/filelink"));

    QVERIFY(writeBytes(src + "/inside.txt", "inner"));
    QVERIFY(QFile::link(src + "/inside.txt", src + "/a/innerlink"));

    QVERIFY(copyDir(src, dst, true));
    QCOMPARE(readBytes(dst + "/a/file.txt"), QByteArray("a"));
    // A link to a file elsewhere on the disk is not followed: the copy of a
    // site never takes in what lies outside it. One inside the tree is copied.
    QVERIFY(!QFileInfo::exists(dst + "/filelink") && !QFileInfo(dst + "/filelink").isSymLink());
    QCOMPARE(readBytes(dst + "/a/innerlink"), QByteArray("inner"));
    QVERIFY(!QFileInfo(dst + "/a/innerlink").isSymLink());
    QVERIFY(!QFileInfo::exists(dst + "/a/loop/a"));
    QVERIFY(!QFileInfo::exists(dst + "/a/self/file.txt"));
    QVERIFY(!QFileInfo::exists(dst + "/to-dest/a"));
}

void TestMiscUtilsIo::fitImage_data()
{
    QTest::addColumn<QSize>("source");
    QTest::addColumn<bool>("shrink");
    QTest::addColumn<bool>("stretch");
    QTest::addColumn<bool>("keep");
    QTest::addColumn<QRect>("painted");   // where the source lands on the 100 x 100 result
    QTest::addColumn<QRgb>("topLeft");    // the colour at the painted rectangle's top-left
    QTest::addColumn<QRgb>("bottomRight");

    const QRgb red = qRgb(255, 0, 0), white = qRgb(255, 255, 255);
    QTest::newRow("letterboxed") << QSize(400, 200) << true << false << true
                                 << QRect(0, 25, 100, 50) << red << white;
    // The centred 200 x 200 piece: left half of it is the red/blue column's right half.
    QTest::newRow("cover") << QSize(400, 200) << false << true << true << QRect(0, 0, 100, 100)
                           << red << white;
    QTest::newRow("unscaled, centred") << QSize(50, 50) << false << false << true
                                       << QRect(25, 25, 50, 50) << red << white;
    QTest::newRow("enlarged") << QSize(50, 50) << true << true << true << QRect(0, 0, 100, 100)
                              << red << white;
    QTest::newRow("odd difference") << QSize(51, 51) << false << false << true
                                    << QRect(24, 24, 52, 52) << red << white;
    QTest::newRow("stretched") << QSize(400, 20) << false << false << false << QRect(0, 0, 100, 100)
                               << red << white;
    QTest::newRow("cropped") << QSize(300, 300) << false << false << true << QRect(0, 0, 100, 100)
                             << red << white;
}

void TestMiscUtilsIo::fitImage()
{
    QFETCH(QSize, source);
    QFETCH(bool, shrink);
    QFETCH(bool, stretch);
    QFETCH(bool, keep);
    QFETCH(QRect, painted);
    QFETCH(QRgb, topLeft);
    QFETCH(QRgb, bottomRight);

    // 8 is the high-quality antialiasing hint that the image slots pass.
    const QColor fill(10, 20, 30, 128);
    const QImage result = ::fitImage(quadrants(source.width(), source.height()), QSize(100, 100), fill,
                                     shrink, stretch, keep, QPainter::RenderHints(0x08));
    QCOMPARE(result.size(), QSize(100, 100));
    QCOMPARE(result.format(), QImage::Format_ARGB32);
    QCOMPARE(paintedRect(result, fill.rgba()), painted);
    QCOMPARE(result.pixel(painted.topLeft()), topLeft);
    QCOMPARE(result.pixel(painted.bottomRight()), bottomRight);
    if (painted.top() > 0)
        QCOMPARE(result.pixel(50, painted.top() - 1), fill.rgba());
}

void TestMiscUtilsIo::fitImageKeepsFillAndRefusesBadSizes()
{
    // The cover piece of 400 x 200 is the centred 200 x 200: its top row runs from
    // red (x 100..199) into green (x 200..299), so the result's middle column splits there.
    const QImage cover = ::fitImage(quadrants(400, 200), QSize(100, 100), Qt::black, false, true, true,
                                    QPainter::RenderHints());
    QCOMPARE(cover.pixel(10, 10), qRgb(255, 0, 0));
    QCOMPARE(cover.pixel(90, 10), qRgb(0, 255, 0));
    QCOMPARE(cover.pixel(10, 90), qRgb(0, 0, 255));

    const QImage source = quadrants(10, 10);
    QVERIFY(::fitImage(QImage(), QSize(10, 10), Qt::red, true, true, true, {}).isNull());
    QVERIFY(::fitImage(source, QSize(0, 10), Qt::red, true, true, true, {}).isNull());
    QVERIFY(::fitImage(source, QSize(-5, -5), Qt::red, true, true, true, {}).isNull());
    QVERIFY(::fitImage(source, QSize(100000, 100000), Qt::red, true, true, true, {}).isNull());
}

void TestMiscUtilsIo::removeDirKeepsLinkTargets()
{
    QTemporaryDir root;
    const QString outside = root.filePath(QStringLiteral("outside"));
    const QString doomed = root.filePath(QStringLiteral("doomed"));
    QVERIFY(writeBytes(outside + "/precious.txt", "p"));
    QVERIFY(writeBytes(doomed + "/.hidden/x", "x"));
    QVERIFY(QFile::link(outside, doomed + "/link"));
    QVERIFY(removeDir(doomed));
    QVERIFY(!QFileInfo::exists(doomed));
    QCOMPARE(readBytes(outside + "/precious.txt"), QByteArray("p"));
    QVERIFY(removeDir(root.filePath(QStringLiteral("never-there"))));
}

void TestMiscUtilsIo::detectCodec_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<int>("mib");   // 0: none
    QTest::newRow("utf-32 le mark") << QByteArray("\xFF\xFE\x00\x00", 4) << 1017;
    QTest::newRow("utf-32 be mark") << QByteArray("\x00\x00\xFE\xFF", 4) << 1017;
    QTest::newRow("utf-32le") << QByteArray("<\x00\x00\x00", 4) << 1019;
    QTest::newRow("utf-32be") << QByteArray("\x00\x00\x00<", 4) << 1018;
    QTest::newRow("utf-16 mark") << QByteArray("\xFE\xFFxx", 4) << 1015;
    QTest::newRow("utf-16le") << QByteArray("<\x00x\x00", 4) << 1014;
    QTest::newRow("utf-16be") << QByteArray("\x00<\x00x", 4) << 1013;
    QTest::newRow("ascii") << QByteArray("<html>") << 106;
    QTest::newRow("three bytes") << QByteArray("abc") << 0;
}

void TestMiscUtilsIo::detectCodec()
{
    QFETCH(QByteArray, bytes);
    QFETCH(int, mib);
    QTextCodec *codec = ::detectCodec(bytes);
    QCOMPARE(codec ? codec->mibEnum() : 0, mib);
}

void TestMiscUtilsIo::colours()
{
    QCOMPARE(colorToText(QColor(0, 0, 255)), QStringLiteral("#0000ff"));
    QCOMPARE(colorToText(QColor(255, 0, 0, 128)), QStringLiteral("#ff0000"));
    QCOMPARE(colorToText(QColor(0, 0, 0, 0)), QString());
    QCOMPARE(textToColor(QStringLiteral("transparent")), QColor(0, 0, 0, 0));
    QCOMPARE(textToColor(QString()), QColor(0, 0, 0, 0));
    QCOMPARE(textToColor(QStringLiteral("#ff0000")), QColor(255, 0, 0));
    QCOMPARE(textToColor(QStringLiteral("255")), QColor(0, 0, 255));
    QCOMPARE(textToColor(QStringLiteral("#abc")), QColor(0xab, 0xca, 0xbc));
    QCOMPARE(textToColor(QStringLiteral("nonsense")), QColor(0, 0, 0));
}

void TestMiscUtilsIo::fileExistsForms()
{
    const QString path = tmp.filePath(QStringLiteral("it's \u00e9 here.txt"));
    QVERIFY(writeBytes(path, "x"));
    QVERIFY(fileExists(path));
    QVERIFY(fileExists(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)));
    QVERIFY(fileExists(QStringLiteral("file://") + path));
    QVERIFY(!fileExists(path + "-no"));
    QVERIFY(!appDirPath().isEmpty());
}

void TestMiscUtilsIo::skipElementStopsAfterItsEnd()
{
    QXmlStreamReader reader(QStringLiteral("<r><skip><a><b/></a>text</skip><next/></r>"));
    while (!reader.atEnd() && !(reader.isStartElement() && reader.name() == QLatin1String("skip")))
        reader.readNext();
    skipElement(reader);
    QVERIFY(reader.isEndElement());
    QCOMPARE(reader.name().toString(), QStringLiteral("skip"));
    reader.readNext();
    QCOMPARE(reader.name().toString(), QStringLiteral("next"));
}

QUILLARY_TEST_MAIN(TestMiscUtilsIo)
#include "tst_miscutils_io.moc"
