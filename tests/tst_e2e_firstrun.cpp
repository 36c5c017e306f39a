#include "testmain.h"

#include <QEventLoop>
#include <QTimer>

#include "e2efixture.h"

// A new user's first run, as that user: the starter site the program copies
// out of its bundle is edited, saved, published to a local folder, the window
// is closed and opened again, and the edit is still there.
class TestE2eFirstRun : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void editSavePublishCloseReopen();

private:
    MainWindow *window = nullptr;
    QTemporaryDir scratch;
};

void TestE2eFirstRun::initTestCase()
{
    QVERIFY(scratch.isValid());
    window = E2e::openWindow(false);
    QVERIFY(window);
}

void TestE2eFirstRun::cleanupTestCase()
{
    delete window;
}

void TestE2eFirstRun::editSavePublishCloseReopen()
{
    const QString folder = E2e::starterFolder();
    const QString project = folder + QStringLiteral("/project.quillary");
    QVERIFY(QFileInfo::exists(project));
    // The copy is the user's own: it can be written.
    QVERIFY2(QFileInfo(project).isWritable(), "the starter project was copied read-only");

    E2e::setField(*window, QStringLiteral("#page-title"), QStringLiteral("Saved on the first run"));
    E2e::click(*window, QStringLiteral("#btn-save"));
    QTRY_VERIFY2_WITH_TIMEOUT(E2e::readFile(project).contains("Saved on the first run"),
                              "Save did not reach the project file", 10000);

    // Published to a local folder: the project file there is the saved one.
    const QString out = scratch.filePath(QStringLiteral("site out"));
    E2e::click(*window, QStringLiteral("#btn-publish"));
    E2e::click(*window, QStringLiteral("#tab-local"));
    QVERIFY(E2e::visible(*window, QStringLiteral("#publish-dialog")));
    E2e::setField(*window, QStringLiteral("#local-folder"), out);
    E2e::eval(*window, QStringLiteral("document.getElementById('opt-changes').checked = false"));
    E2e::click(*window, QStringLiteral("#btn-publish-go"));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('progress-done').hidden"), 60000));
    QCOMPARE(E2e::text(*window, QStringLiteral("#progress-done-text")),
             QStringLiteral("The site published successfully to ") + out);
    QVERIFY(E2e::readFile(out + QStringLiteral("/project.quillary")).contains("Saved on the first run"));
    QVERIFY(QFileInfo(out + QStringLiteral("/index.html")).isWritable());
    E2e::click(*window, QStringLiteral("#btn-done-close"));

    // A second edit, then closing: the page saves it and ends the run.
    E2e::setField(*window, QStringLiteral("#page-title"), QStringLiteral("Kept when closing"));
    QEventLoop loop;
    QTimer::singleShot(30000, &loop, [&loop]() { loop.exit(99); });
    QTimer::singleShot(0, window, [this]() { window->close(); });
    QCOMPARE(loop.exec(), 0);
    delete window;
    window = nullptr;
    QVERIFY(E2e::readFile(project).contains("Kept when closing"));

    // The next run opens the same site with the edit.
    window = E2e::openWindow(false);
    QVERIFY(window);
    QCOMPARE(QUrl(E2e::eval(*window, QStringLiteral("qlrApp.currentSite().file")).toString()).toLocalFile(), project);
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.getElementById('page-title').value")).toString(),
             QStringLiteral("Kept when closing"));
}

QUILLARY_TEST_MAIN(TestE2eFirstRun)
#include "tst_e2e_firstrun.moc"
