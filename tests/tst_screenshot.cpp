#include "testmain.h"

#include <QImageReader>

#include "filesizecap.h"
#include "miscutils.h"
#include "webfixture.h"

// Screenshots of the real page: a white page with a 10 x 10 blue square at the
// origin and a 40 x 30 green one at (100, 50).
class TestScreenshot : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void shots_data();
    void shots();
    void failures_data();
    void failures();
    void requestsAnsweredInOrder();
    void refusedWriteKeepsOldShot();

private:
    QStringList answers();
    QString request(const QString &url, QSize out, QRect rect);

    MainWindow *window = nullptr;
    QString folder;
};

void TestScreenshot::initTestCase()
{
    QVERIFY(WebFixture::registerTestBundle());
    folder = TestEnv::root() + QStringLiteral("/shots/it's here");
    QVERIFY(QDir().mkpath(folder));
    window = new MainWindow(false);
    window->show();
    window->resize(1280, 800);
    QVERIFY(WebFixture::waitForPage(*window));
    QTRY_COMPARE(window->page()->viewportSize(), QSize(1280, 800));
    window->webView()->setZoomFactor(1.0);
}

void TestScreenshot::cleanupTestCase()
{
    delete window;
}

void TestScreenshot::init()
{
    WebFixture::eval(*window, QStringLiteral(
            "window.shots = []; Bridge._screenReady = function (url) { window.shots.push(url); };"));
}

QStringList TestScreenshot::answers()
{
    return WebFixture::eval(*window, QStringLiteral("window.shots")).toStringList();
}

// Asks as the page does (the request is queued) and waits for the one answer.
QString TestScreenshot::request(const QString &url, QSize out, QRect rect)
{
    window->bridge()->getScreen(url, out.width(), out.height(), rect.x(), rect.y(), rect.width(),
                                rect.height());
    if (!answers().isEmpty())
        return QStringLiteral("<answered too early>");
    QElapsedTimer timer;
    timer.start();
    while (answers().isEmpty() && timer.elapsed() < 10000)
        QTest::qWait(10);
    QTest::qWait(50);
    const QStringList got = answers();
    return got.size() == 1 ? got.first() : QStringLiteral("<%1 answers>").arg(got.size());
}

void TestScreenshot::shots_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("out");
    QTest::addColumn<QRect>("rect");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<QByteArray>("format");
    QTest::addColumn<QPoint>("greenAt");   // a pixel inside the green square
    QTest::addColumn<QPoint>("whiteAt");

    QTest::newRow("whole viewport") << "whole.png" << QSize(0, 0) << QRect(0, 0, 0, 0) << QSize(1280, 800)
                                    << QByteArray("png") << QPoint(120, 65) << QPoint(600, 400);
    QTest::newRow("cut from (100, 50)") << "cut.png" << QSize(0, 0) << QRect(100, 50, 0, 0) << QSize(1180, 750)
                                        << QByteArray("png") << QPoint(0, 0) << QPoint(41, 31);
    QTest::newRow("width alone is dropped") << "wide.png" << QSize(0, 0) << QRect(0, 0, 500, 0)
                                            << QSize(1280, 800) << QByteArray("png") << QPoint(120, 65)
                                            << QPoint(700, 400);
    // 800 x 600 squeezed to 400 x 600: x halves, y stays.
    QTest::newRow("squeezed") << "squeezed.png" << QSize(400, 0) << QRect(0, 0, 800, 600) << QSize(400, 600)
                              << QByteArray("png") << QPoint(60, 65) << QPoint(200, 300);
    QTest::newRow("jpeg") << "shot.jpg" << QSize(0, 0) << QRect(0, 0, 0, 0) << QSize(1280, 800) << QByteArray("jpeg")
                          << QPoint(120, 65) << QPoint(600, 400);
}

void TestScreenshot::shots()
{
    QFETCH(QString, name);
    QFETCH(QSize, out);
    QFETCH(QRect, rect);
    QFETCH(QSize, size);
    QFETCH(QByteArray, format);
    QFETCH(QPoint, greenAt);
    QFETCH(QPoint, whiteAt);

    const QString path = folder + QLatin1Char('/') + name;
    const QString url = localPathToUrl(path);
    QCOMPARE(request(url, out, rect), url);
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    QCOMPARE(reader.format(), format);
    const QImage image = reader.read();
    QCOMPARE(image.size(), size);
    const QColor green = image.pixelColor(greenAt);
    QVERIFY2(green.green() > 100 && green.red() < 40 && green.blue() < 40, qPrintable(green.name()));
    const QColor white = image.pixelColor(whiteAt);
    QVERIFY2(white.lightness() > 240, qPrintable(white.name()));
    if (rect.topLeft() == QPoint(0, 0)) {
        const QColor blue = image.pixelColor(2, 2);
        QVERIFY2(blue.blue() > 200 && blue.red() < 40, qPrintable(blue.name()));
    }
}

void TestScreenshot::failures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("out");
    QTest::addColumn<QRect>("rect");
    const QString ok = QStringLiteral("/ok.png");
    QTest::newRow("missing folder") << "/no/such/folder/x.png" << QSize(0, 0) << QRect(0, 0, 0, 0);
    QTest::newRow("no suffix") << "/shot" << QSize(0, 0) << QRect(0, 0, 0, 0);
    QTest::newRow("unknown suffix") << "/shot.nosuchformat" << QSize(0, 0) << QRect(0, 0, 0, 0);
    QTest::newRow("negative size") << ok << QSize(-5, 10) << QRect(0, 0, 0, 0);
    QTest::newRow("oversized") << ok << QSize(100000, 100000) << QRect(0, 0, 0, 0);
    QTest::newRow("oversized cut") << ok << QSize(10, 10) << QRect(0, 0, 50000, 10);
    QTest::newRow("negative cut") << ok << QSize(0, 0) << QRect(0, 0, -100, 10);
    QTest::newRow("cut beyond the viewport") << ok << QSize(0, 0) << QRect(2000, 2000, 0, 0);
}

void TestScreenshot::failures()
{
    QFETCH(QString, path);
    QFETCH(QSize, out);
    QFETCH(QRect, rect);
    const QString full = path.startsWith(QLatin1String("/no/")) ? path : folder + path;
    QFile::remove(full);
    QCOMPARE(request(localPathToUrl(full), out, rect), QString());
    QVERIFY(!QFileInfo::exists(full));
}

void TestScreenshot::requestsAnsweredInOrder()
{
    const QString a = localPathToUrl(folder + QStringLiteral("/a.png"));
    const QString b = localPathToUrl(folder + QStringLiteral("/missing/b.png"));
    const QString c = localPathToUrl(folder + QStringLiteral("/c.jpg"));
    for (const QString &url : { a, b, c })
        window->bridge()->getScreen(url, 10, 10, 0, 0, 0, 0);
    QTRY_COMPARE(answers().size(), 3);
    QTest::qWait(100);
    QCOMPARE(answers(), (QStringList{ a, QString(), c }));
}

// The disk takes 1,000 bytes of the new shot: no location for the page, and the
// shot that was there before is still whole.
void TestScreenshot::refusedWriteKeepsOldShot()
{
    const QString shots = folder + QStringLiteral("/kept");
    QVERIFY(QDir().mkpath(shots));
    const QString path = shots + QStringLiteral("/site.png");
    QImage old(8, 8, QImage::Format_ARGB32);
    old.fill(Qt::red);
    QVERIFY(old.save(path, "png"));
    const QByteArray oldBytes = [&] { QFile f(path); return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray(); }();
    QVERIFY(!oldBytes.isEmpty());
    QString answer;
    {
        FileSizeCap cap(1000);
        QVERIFY(cap.active);
        answer = request(localPathToUrl(path), QSize(0, 0), QRect(0, 0, 0, 0));
    }
    QCOMPARE(answer, QString());
    QFile kept(path);
    QVERIFY(kept.open(QIODevice::ReadOnly));
    QCOMPARE(kept.readAll(), oldBytes);
    QCOMPARE(QDir(shots).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList { QStringLiteral("site.png") });
}

QUILLARY_TEST_MAIN(TestScreenshot)
#include "tst_screenshot.moc"
