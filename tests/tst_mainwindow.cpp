#include "testmain.h"

#include <QScreen>
#include <QWindow>

#include <QClipboard>
#include <QMenu>
#include <QMimeData>
#include <QSettings>
#include <QSignalSpy>
#include <QTimer>

#include "filesizecap.h"
#include "webfixture.h"

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void firstStart();
    void geometryRoundTrip();
    void zeroSizeIgnoredWithPosition_data();
    void zeroSizeIgnoredWithPosition();
    void maximizedRoundTrip();
    void fullDiskKeepsTheSettings();
    void closeRequests();
    void drops();
    void contextMenu();
};

void TestMainWindow::initTestCase()
{
    QVERIFY(WebFixture::registerTestBundle());
}

void TestMainWindow::init()
{
    QSettings().remove(QStringLiteral("windowOptions"));
}

void TestMainWindow::firstStart()
{
    MainWindow window(false);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    // The form's 800 x 600, less what the frame needs on the 800 x 600
    // offscreen screen: window and frame stay on the screen.
    const QRect available = window.windowHandle()->screen()->availableGeometry();
    QCOMPARE(window.frameGeometry().size(), available.size().boundedTo(QSize(800, 600) + (window.frameGeometry().size() - window.size())));
    QVERIFY(available.contains(window.frameGeometry()));
    QVERIFY(!window.isMaximized());
    QCOMPARE(window.windowTitle(), QStringLiteral("Quillary 3.10"));
    QVERIFY(!window.localServer());
}

void TestMainWindow::geometryRoundTrip()
{
    {
        MainWindow window(false);
        window.show();
        // Within the 800 x 600 offscreen screen: a larger size is brought
        // back to what the screen holds (tst_windowfit).
        window.resize(700, 500);
        window.move(30, 40);
        QTRY_COMPARE(window.pos(), QPoint(30, 40));
    }
    QSettings settings;
    QVERIFY(settings.fileName().startsWith(TestEnv::root()));
    // The file holds stored credentials too: nobody but its user may read it.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
            | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
            | QFileDevice::ExeOther;
    QCOMPARE(int(QFile::permissions(settings.fileName()) & others), 0);
    settings.beginGroup(QStringLiteral("windowOptions"));
    QCOMPARE(settings.value(QStringLiteral("windowWeight")).toInt(), 700);
    QCOMPARE(settings.value(QStringLiteral("windowHeight")).toInt(), 500);
    QCOMPARE(settings.value(QStringLiteral("windowLeft")).toInt(), 30);
    QCOMPARE(settings.value(QStringLiteral("windowTop")).toInt(), 40);
    QCOMPARE(settings.value(QStringLiteral("windowIsMaximized")).toBool(), false);
    QVERIFY(settings.contains(QStringLiteral("windowScreenNumber")));
    settings.endGroup();

    MainWindow again(false);
    QCOMPARE(again.size(), QSize(700, 500));
    QCOMPARE(again.pos(), QPoint(30, 40));
}

void TestMainWindow::zeroSizeIgnoredWithPosition_data()
{
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("height");
    QTest::newRow("no width") << 0 << 500;
    QTest::newRow("no height") << 500 << 0;
    QTest::newRow("negative") << -10 << 500;
}

void TestMainWindow::zeroSizeIgnoredWithPosition()
{
    QFETCH(int, width);
    QFETCH(int, height);
    {
        QSettings settings;
        settings.beginGroup(QStringLiteral("windowOptions"));
        settings.setValue(QStringLiteral("windowWeight"), width);
        settings.setValue(QStringLiteral("windowHeight"), height);
        settings.setValue(QStringLiteral("windowLeft"), 321);
        settings.setValue(QStringLiteral("windowTop"), 123);
    }
    MainWindow window(false);
    QCOMPARE(window.size(), QSize(800, 600));
    QVERIFY(window.pos() != QPoint(321, 123));
}

void TestMainWindow::maximizedRoundTrip()
{
    {
        QSettings settings;
        settings.setValue(QStringLiteral("windowOptions/windowIsMaximized"), true);
    }
    {
        MainWindow window(false);
        QVERIFY(window.isMaximized());
    }
    QCOMPARE(QSettings().value(QStringLiteral("windowOptions/windowIsMaximized")).toBool(), true);
}

// The window's place is written with the whole store, stored sites and their
// credentials included. A disk that refuses the new file past 1,000 bytes
// leaves the former store as it was, not its first 1,000 bytes.
void TestMainWindow::fullDiskKeepsTheSettings()
{
    QString path;
    {
        QSettings settings;
        settings.setValue(QStringLiteral("FtpList/size"), 1);
        settings.setValue(QStringLiteral("FtpList/1/FtpLocation"), QString(3000, QLatin1Char('s')));
        settings.sync();
        path = settings.fileName();
    }
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray before = file.readAll();
    file.close();
    QVERIFY(before.size() > 3000);
    {
        auto *window = new MainWindow(false);
        window->show();
        QVERIFY(QTest::qWaitForWindowExposed(window));
        window->move(33, 44);
        FileSizeCap cap(1000);
        QVERIFY(cap.active);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("settings could not be written")));
        delete window;   // the window stores its place as it goes
    }
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), before);
    file.close();
    QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files | QDir::Hidden),
             QStringList { QFileInfo(path).fileName() });

    // With room on the disk the same close stores the place beside the sites.
    {
        MainWindow window(false);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        window.move(33, 44);
        QTRY_COMPARE(window.pos(), QPoint(33, 44));
    }
    QSettings settings;
    QCOMPARE(settings.value(QStringLiteral("windowOptions/windowLeft")).toInt(), 33);
    QCOMPARE(settings.value(QStringLiteral("FtpList/1/FtpLocation")).toString(), QString(3000, QLatin1Char('s')));
}

void TestMainWindow::closeRequests()
{
    MainWindow window(false);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy closes(window.bridge(), &Bridge::onClose);
    bool stillOpen = false;
    QTimer::singleShot(0, &window, [&] {
        window.close();
        window.close();
        stillOpen = window.isVisible() && closes.count() == 2;
        window.close();   // the third request ends the loop
    });
    QTimer::singleShot(10000, [] { QCoreApplication::exit(9); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QVERIFY(stillOpen);
    QCOMPARE(closes.count(), 3);
    QVERIFY(window.isVisible());
}

void TestMainWindow::drops()
{
    MainWindow window(false);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy dropped(window.bridge(), &Bridge::onDropFiles);

    QMimeData data;
    data.setUrls({ QUrl::fromLocalFile(QStringLiteral("/sites/one.html")),
                   QUrl(QStringLiteral("https://example.invalid/page")),
                   QUrl::fromLocalFile(QStringLiteral("/sites/my site/two.png")),
                   QUrl(QStringLiteral("FILE:///sites/three.css")) });
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &enter);
    QVERIFY(enter.isAccepted());
    QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &drop);
    QCOMPARE(dropped.count(), 0);   // handed on queued
    QTRY_COMPARE(dropped.count(), 1);
    QCOMPARE(dropped.first().first().toString(),
             QStringLiteral("[ \"file:///sites/one.html\", \"file:///sites/my site/two.png\", "
                            "\"file:///sites/three.css\" ]"));

    QMimeData web;
    web.setUrls({ QUrl(QStringLiteral("http://example.invalid/")) });
    QDropEvent webDrop(QPointF(10, 10), Qt::CopyAction, &web, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(&window, &webDrop);
    QTest::qWait(50);
    QCOMPARE(dropped.count(), 1);
}

void TestMainWindow::contextMenu()
{
    MainWindow window(false);
    window.show();
    QVERIFY(WebFixture::waitForPage(window));
    QMenu *menu = window.findChild<QMenu *>();
    if (!menu) {
        const auto menus = QApplication::allWidgets();
        for (QWidget *w : menus)
            if (auto *m = qobject_cast<QMenu *>(w))
                if (m->actions().size() == 4 && m->actions().first()->text() == QLatin1String("Copy"))
                    menu = m;
    }
    QVERIFY(menu);
    QStringList texts;
    for (QAction *action : menu->actions()) {
        texts << action->text();
        QVERIFY(action->isEnabled());
    }
    QCOMPARE(texts, (QStringList{ "Copy", "Paste", "Cut", "Select all" }));

    QApplication::clipboard()->clear();
    menu->actions().at(3)->trigger();   // Select all
    menu->actions().at(0)->trigger();   // Copy
    QTRY_VERIFY(QApplication::clipboard()->text().contains(QStringLiteral("Quillary test page")));
}

QUILLARY_TEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
