#include "testmain.h"

#include <QScreen>
#include <QSettings>

#include "mainwindow.h"

// The window on a small screen at a large scale: the offscreen screen is
// 800 x 600 pixels, at a scale of 2 that is 400 x 300 for the window, less
// than the editor's own least size of 640 x 420. Set before the application
// object exists.
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

QUILLARY_TEST_MAIN(TestWindowFit)
#include "tst_windowfit.moc"
