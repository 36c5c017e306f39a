#include "testmain.h"

#include <QScreen>
#include <QSettings>

#include "mainwindow.h"

// The window on a small screen at a large scale: the offscreen screen is
// 800 x 600 pixels, at a scale of 2 that is 400 x 300 for the window. Set
// before the application object exists.
static const bool scaled = qputenv("QT_SCALE_FACTOR", "2");

static QString frameText(const QWidget &window)
{
    const QRect f = window.frameGeometry();
    return QStringLiteral("frame %1 x %2 at %3,%4").arg(f.width()).arg(f.height()).arg(f.x()).arg(f.y());
}

class TestWindowFit : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void firstWindowFitsTheScreen();
    void storedGeometryIsBroughtOnScreen_data();
    void storedGeometryIsBroughtOnScreen();
    void maximizedWindowStoresItsNormalGeometry();

private:
    QRect available() const { return QGuiApplication::primaryScreen()->availableGeometry(); }
};

void TestWindowFit::init()
{
    QVERIFY(scaled);
    QSettings().clear();
    QCOMPARE(available().size(), QSize(400, 300));
}

// The form's 800 x 600 is larger than the whole screen: it is brought down.
void TestWindowFit::firstWindowFitsTheScreen()
{
    MainWindow window(false);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY2(available().contains(window.frameGeometry()),
             qPrintable(frameText(window)));
}

void TestWindowFit::storedGeometryIsBroughtOnScreen_data()
{
    QTest::addColumn<QRect>("stored");
    QTest::addColumn<QRect>("expected");
    QTest::newRow("larger than the screen") << QRect(0, 0, 1100, 700) << QRect(0, 0, 400, 300);
    QTest::newRow("off to the right and below") << QRect(900, 700, 200, 100) << QRect(200, 200, 200, 100);
    QTest::newRow("off to the left and above") << QRect(-500, -300, 200, 100) << QRect(0, 0, 200, 100);
    QTest::newRow("half off") << QRect(300, 250, 200, 100) << QRect(200, 200, 200, 100);
    QTest::newRow("on the screen") << QRect(10, 20, 200, 100) << QRect(10, 20, 200, 100);
}

// A geometry stored at another scale or on a larger screen comes back within
// this screen: every part of the window can be reached.
void TestWindowFit::storedGeometryIsBroughtOnScreen()
{
    QFETCH(QRect, stored);
    QFETCH(QRect, expected);
    {
        QSettings settings;
        settings.beginGroup(QStringLiteral("windowOptions"));
        settings.setValue(QStringLiteral("windowLeft"), stored.x());
        settings.setValue(QStringLiteral("windowTop"), stored.y());
        settings.setValue(QStringLiteral("windowWeight"), stored.width());
        settings.setValue(QStringLiteral("windowHeight"), stored.height());
    }
    MainWindow window(false);
    QCOMPARE(QRect(window.pos(), window.size()), expected);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY2(available().contains(window.frameGeometry()), qPrintable(frameText(window)));
}

// Closing while maximized stores the size the window had before it was
// maximized, with the flag: the next run comes back maximized, and making it
// normal gives that size again.
void TestWindowFit::maximizedWindowStoresItsNormalGeometry()
{
    {
        MainWindow window(false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.resize(250, 150);
        window.move(20, 30);
        QTRY_COMPARE(window.pos(), QPoint(20, 30));
        window.showMaximized();
        QTRY_VERIFY(window.isMaximized());
        QTRY_VERIFY(window.size() != QSize(250, 150));   // the screen's size now
    }
    QSettings settings;
    settings.beginGroup(QStringLiteral("windowOptions"));
    QCOMPARE(settings.value(QStringLiteral("windowIsMaximized")).toBool(), true);
    QCOMPARE(settings.value(QStringLiteral("windowWeight")).toInt(), 250);
    QCOMPARE(settings.value(QStringLiteral("windowHeight")).toInt(), 150);
    QCOMPARE(settings.value(QStringLiteral("windowLeft")).toInt(), 20);
    QCOMPARE(settings.value(QStringLiteral("windowTop")).toInt(), 30);
    settings.endGroup();

    MainWindow again(false);
    QVERIFY(again.isMaximized());
    again.showNormal();
    QTRY_COMPARE(again.size(), QSize(250, 150));
}

QUILLARY_TEST_MAIN(TestWindowFit)
#include "tst_windowfit.moc"
