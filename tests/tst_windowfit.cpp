#include "testmain.h"

#include <QSettings>

#include "mainwindow.h"
#include "windowtestutil.h"

// The window on a small screen at a large scale: the offscreen screen is
// 800 x 600 pixels, at a scale of 4/3 that is 600 x 450 for the window,
// narrower than the editor's own least size of 640 x 420. Set before the
// application object exists.
static const bool scaled = qputenv("QT_SCALE_FACTOR", "1.3333333333");

class TestWindowFit : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void firstWindowFitsTheScreen();
    void storedGeometryIsBroughtOnScreen_data();
    void storedGeometryIsBroughtOnScreen();
};

void TestWindowFit::init()
{
    QVERIFY(scaled);
    QSettings().clear();
    QCOMPARE(WindowTest::available().size(), QSize(600, 450));
}

// The form's 800 x 600 is larger than the whole screen: it is brought down.
void TestWindowFit::firstWindowFitsTheScreen()
{
    MainWindow window(false);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY2(WindowTest::available().contains(window.frameGeometry()),
             qPrintable(WindowTest::frameText(window)));
}

void TestWindowFit::storedGeometryIsBroughtOnScreen_data()
{
    QTest::addColumn<QRect>("stored");
    QTest::addColumn<QRect>("expected");
    // The least width gives way to the screen's 600; the least height of 420
    // fits, so heights and places below the top still come from the store.
    QTest::newRow("larger than the screen") << QRect(0, 0, 1100, 700) << QRect(0, 0, 600, 450);
    QTest::newRow("off to the right and below") << QRect(900, 700, 200, 100) << QRect(0, 30, 600, 420);
    QTest::newRow("off to the left and above") << QRect(-500, -300, 200, 100) << QRect(0, 0, 600, 420);
    QTest::newRow("half off") << QRect(300, 250, 200, 440) << QRect(0, 10, 600, 440);
    QTest::newRow("on the screen") << QRect(0, 5, 600, 430) << QRect(0, 5, 600, 430);
}

// A geometry stored at another scale or on a larger screen comes back within
// this screen: every part of the window can be reached.
void TestWindowFit::storedGeometryIsBroughtOnScreen()
{
    QFETCH(QRect, stored);
    QFETCH(QRect, expected);
    WindowTest::checkStoredGeometry(stored, expected);
}

QUILLARY_TEST_MAIN(TestWindowFit)
#include "tst_windowfit.moc"
