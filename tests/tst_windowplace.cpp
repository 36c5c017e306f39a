#include "testmain.h"

#include <QSettings>

#include "mainwindow.h"
#include "windowtestutil.h"

// Where the window comes back on a screen larger than its least size: the
// offscreen screen is 800 x 600 at a scale of 1.
static const bool unscaled = qputenv("QT_SCALE_FACTOR", "1");

class TestWindowPlace : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void storedGeometryIsBroughtOnScreen_data();
    void storedGeometryIsBroughtOnScreen();
    void maximizedWindowStoresItsNormalGeometry();
};

void TestWindowPlace::init()
{
    QVERIFY(unscaled);
    QSettings().clear();
    QCOMPARE(WindowTest::available().size(), QSize(800, 600));
}

void TestWindowPlace::storedGeometryIsBroughtOnScreen_data()
{
    QTest::addColumn<QRect>("stored");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("larger than the screen") << QRect(0, 0, 1100, 700) << QRect(0, 0, 800, 600);
    QTest::newRow("off to the right and below") << QRect(900, 700, 700, 450) << QRect(100, 150, 700, 450);
    QTest::newRow("off to the left and above") << QRect(-500, -300, 700, 450) << QRect(0, 0, 700, 450);
    QTest::newRow("half off") << QRect(300, 250, 700, 450) << QRect(100, 150, 700, 450);
    QTest::newRow("on the screen") << QRect(10, 20, 700, 450) << QRect(10, 20, 700, 450);
    QTest::newRow("below the least size") << QRect(10, 20, 200, 100) << QRect(10, 20, 640, 420);
}

// A geometry stored at another scale or on a larger screen comes back within
// this screen: every part of the window can be reached.
void TestWindowPlace::storedGeometryIsBroughtOnScreen()
{
    QFETCH(QRect, stored);
    QFETCH(QRect, expected);
    WindowTest::checkStoredGeometry(stored, expected);
}

// Closing while maximized stores the size the window had before it was
// maximized, with the flag: the next run comes back maximized, and making it
// normal gives that size again.
void TestWindowPlace::maximizedWindowStoresItsNormalGeometry()
{
    {
        MainWindow window(false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(700, 450);
        window.move(20, 30);
        QTRY_COMPARE(window.pos(), QPoint(20, 30));
        window.showMaximized();
        QTRY_VERIFY(window.isMaximized());
        QTRY_VERIFY(window.size() != QSize(700, 450));   // the screen's size now
    }
    QSettings settings;
    settings.beginGroup(QStringLiteral("windowOptions"));
    QCOMPARE(settings.value(QStringLiteral("windowIsMaximized")).toBool(), true);
    QCOMPARE(settings.value(QStringLiteral("windowWeight")).toInt(), 700);
    QCOMPARE(settings.value(QStringLiteral("windowHeight")).toInt(), 450);
    QCOMPARE(settings.value(QStringLiteral("windowLeft")).toInt(), 20);
    QCOMPARE(settings.value(QStringLiteral("windowTop")).toInt(), 30);
    settings.endGroup();

    MainWindow again(false);
    QVERIFY(again.isMaximized());
    again.showNormal();
    QTRY_COMPARE(again.size(), QSize(700, 450));
}

QUILLARY_TEST_MAIN(TestWindowPlace)
#include "tst_windowplace.moc"
