#include "testmain.h"

#include <QSettings>

#include "mainwindow.h"
#include "windowtestutil.h"

// The window on a small screen at a large scale: the offscreen screen is
// 800 x 600 pixels, at a scale of 2 that is 400 x 300 for the window, less
// than the editor's own least size of 640 x 420. Set before the application
// object exists.
static const bool scaled = qputenv("QT_SCALE_FACTOR", "2");

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
    QCOMPARE(WindowTest::available().size(), QSize(400, 300));
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
    // The least size is cut to the screen, so every window here fills it.
    QTest::newRow("larger than the screen") << QRect(0, 0, 1100, 700) << QRect(0, 0, 400, 300);
    QTest::newRow("off to the right and below") << QRect(900, 700, 200, 100) << QRect(0, 0, 400, 300);
    QTest::newRow("off to the left and above") << QRect(-500, -300, 200, 100) << QRect(0, 0, 400, 300);
    QTest::newRow("half off") << QRect(300, 250, 200, 100) << QRect(0, 0, 400, 300);
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
