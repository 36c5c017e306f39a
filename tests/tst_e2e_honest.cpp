#include "testmain.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPointer>
#include <QRegularExpression>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <QWebElement>

#include <csignal>

#include "e2einput.h"
#include "muteserver.h"
#include "testservers.h"

// The editor page as a user drives it, with real mouse and key events sent to the
// web view at the places the page shows its controls: each site keeps its own
// destination, a run says what it really did, dialogs and shortcuts work by keyboard.
class TestE2eHonest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void secondSiteKeepsItsOwnDestination();
    void changesOnlyAfterAnotherSiteSendsAll();
    void wrongPasswordFailsWithNothingSent_data();
    void wrongPasswordFailsWithNothingSent();
    void stoppedServerPublishesWithErrors();
    void cancelShowsWhatWasStopped();
    void escapeClosesDialogAndFocusReturns();
    void ctrlSSaves();
    void smallWindowKeepsHeaderTidy();
    void previewLinksStayInside();
    void sameServerTwiceIsOneEntry();
    void connectionTestGivesReasonAndCancels();
    void goneRecentSiteCanBeRemoved();
    void errorsGoToTheRightFile_data();
    void errorsGoToTheRightFile();
    void stopCountsWhatIsInPlace();
    void serverNamedWithItsPort_data();
    void serverNamedWithItsPort();
    void serverFolderOfAnotherSiteAsksFirst_data();
    void serverFolderOfAnotherSiteAsksFirst();
    void serverFolderThatCannotBeCheckedAsksFirst_data();
    void serverFolderThatCannotBeCheckedAsksFirst();

private:
    QWebView *view() const { return E2e::webView(*window); }
    bool clickAt(const QString &selector) { return E2e::clickAt(*window, selector); }
    void key(int k, Qt::KeyboardModifiers modifiers = Qt::NoModifier) { E2e::key(*window, k, modifiers); }
    bool typeInto(const QString &selector, const QString &text) { return E2e::typeInto(*window, selector, text); }
    QString activeId() { return E2e::activeId(*window); }
    QString outcome() { return E2e::outcome(*window); }
    void shot(const QString &name) { E2e::shot(*window, name); }
    QString makeSite(const QString &folder, const QString &title) { return E2e::makeSite(folder, title); }
    bool openSite(const QString &file) { return E2e::openSite(*window, file); }
    bool startLocal(const QString &folder, bool changesOnly);
    bool publishLocal(const QString &folder, bool changesOnly, bool expectQuestion = false);
    bool waitDone(int timeoutMs = 20000) { return E2e::waitDone(*window, timeoutMs); }
    bool addServer(const TestServer &server, const QString &password, const QString &folder)
    {
        return clickAt(QStringLiteral("#btn-publish")) && E2e::addServer(*window, server, password, folder);
    }
    QMap<QString, QByteArray> expectedNow() { return E2e::expectedUpload(*window); }
    QStringList ftpLocations()
    {
        return window->bridge()->regExportData().value(QStringLiteral("ftpData")).toMap()
                .value(QStringLiteral("location")).toStringList();
    }

    MainWindow *window = nullptr;
    QTemporaryDir scratch;
    QString siteA;
    QString siteB;
};

void TestE2eHonest::initTestCase()
{
    QVERIFY(scratch.isValid());
    window = E2e::openActiveWindow();
    QVERIFY(window);
    siteA = makeSite(scratch.filePath(QStringLiteral("site-a")), QStringLiteral("Alpha Bakery"));
    siteB = makeSite(scratch.filePath(QStringLiteral("site-b")), QStringLiteral("Beta Books"));
    QVERIFY(!siteA.isEmpty() && !siteB.isEmpty());
}

void TestE2eHonest::cleanupTestCase()
{
    delete window;
}

void TestE2eHonest::init()
{
    QVERIFY(E2e::restoreSize(*window));
}

// A failed step must not leave a dialog over the next test's controls.
void TestE2eHonest::cleanup()
{
    E2e::closeDialogs(*window);
}

// Types the folder, sets changes-only as asked and presses Publish.
bool TestE2eHonest::startLocal(const QString &folder, bool changesOnly)
{
    if (!E2e::visible(*window, QStringLiteral("#publish-dialog")) && !clickAt(QStringLiteral("#btn-publish")))
        return false;
    if (!clickAt(QStringLiteral("#tab-local")) || !typeInto(QStringLiteral("#local-folder"), folder))
        return false;
    const bool checked = E2e::eval(*window, QStringLiteral("document.getElementById('opt-changes').checked")).toBool();
    if (checked != changesOnly && !clickAt(QStringLiteral("#opt-changes")))
        return false;
    return clickAt(QStringLiteral("#btn-publish-go"));
}

// Starts the run; answers "Publish here anyway" when the page asks about another
// site, and waits for the summary.
bool TestE2eHonest::publishLocal(const QString &folder, bool changesOnly, bool expectQuestion)
{
    if (!startLocal(folder, changesOnly))
        return false;
    if (expectQuestion) {
        if (!E2e::waitFor(*window, QStringLiteral("!document.getElementById('confirm').hidden"), 5000))
            return false;
        if (!clickAt(QStringLiteral("#btn-confirm-yes")))
            return false;
    }
    return waitDone();
}

void TestE2eHonest::secondSiteKeepsItsOwnDestination()
{
    const QString outA = scratch.filePath(QStringLiteral("out-a"));
    const QString outB = scratch.filePath(QStringLiteral("out-b"));
    QVERIFY(openSite(siteA));
    QVERIFY(publishLocal(outA, false));
    QCOMPARE(outcome(), QStringLiteral("published"));
    QVERIFY(E2e::visible(*window, QStringLiteral("#btn-open-index")));
    QVERIFY(clickAt(QStringLiteral("#btn-done-close")));

    // Site B starts with no destination: it is not offered A's folder.
    QVERIFY(openSite(siteB));
    QVERIFY(clickAt(QStringLiteral("#btn-publish")));
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.getElementById('local-folder').value")).toString(), QString());
    shot(QStringLiteral("honest-01-second-site-empty-destination"));
    QVERIFY(publishLocal(outB, false));
    QVERIFY(clickAt(QStringLiteral("#btn-done-close")));

    // Each site's dialog pre-fills its own folder.
    QVERIFY(openSite(siteA));
    QVERIFY(clickAt(QStringLiteral("#btn-publish")));
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.getElementById('local-folder').value")).toString(), outA);
    QVERIFY(clickAt(QStringLiteral("#btn-publish-cancel")));
    QVERIFY(openSite(siteB));
    QVERIFY(clickAt(QStringLiteral("#btn-publish")));
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.getElementById('local-folder').value")).toString(), outB);
    shot(QStringLiteral("honest-02-second-site-own-destination"));

    // B into A's folder asks first; "Cancel" leaves A's files alone.
    const QByteArray indexOfA = E2e::readFile(outA + QStringLiteral("/index.html"));
    QVERIFY(indexOfA.contains("Alpha Bakery"));
    QVERIFY(typeInto(QStringLiteral("#local-folder"), outA));
    QVERIFY(clickAt(QStringLiteral("#btn-publish-go")));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('confirm').hidden"), 5000));
    QVERIFY(E2e::text(*window, QStringLiteral("#confirm-text")).contains(QStringLiteral("Alpha Bakery")));
    shot(QStringLiteral("honest-03-other-site-question"));
    QVERIFY(clickAt(QStringLiteral("#btn-confirm-no")));
    QTest::qWait(200);
    QVERIFY(!E2e::visible(*window, QStringLiteral("#progress")));
    QCOMPARE(E2e::readFile(outA + QStringLiteral("/index.html")), indexOfA);
    // The global list of recent folders is as the host stores it.
    QCOMPARE(window->bridge()->getSettings(QStringLiteral("RecentPublish/0")).toString(),
             QUrl::fromLocalFile(outB).toString());
}

void TestE2eHonest::changesOnlyAfterAnotherSiteSendsAll()
{
    const QString outA = scratch.filePath(QStringLiteral("out-a"));
    // B overwrites A's folder after saying yes.
    QVERIFY(openSite(siteB));
    QVERIFY(publishLocal(outA, false, true));
    QCOMPARE(outcome(), QStringLiteral("published"));
    QVERIFY(E2e::readFile(outA + QStringLiteral("/index.html")).contains("Beta Books"));
    QVERIFY(clickAt(QStringLiteral("#btn-done-close")));

    // A's changes-only run cannot trust its record there any more: everything goes.
    QVERIFY(openSite(siteA));
    QVERIFY(publishLocal(outA, true, true));
    QCOMPARE(outcome(), QStringLiteral("published"));
    const QMap<QString, QByteArray> expected = expectedNow();
    QCOMPARE(E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.sentFiles.length")).toInt(), expected.size());
    QString diff = E2e::compareFiles(expected, E2e::filesUnder(outA));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    shot(QStringLiteral("honest-04-changes-only-sent-all"));
    QVERIFY(clickAt(QStringLiteral("#btn-done-close")));

    // An emptied destination is no record either.
    QVERIFY(QDir(outA).removeRecursively());
    QVERIFY(publishLocal(outA, true));
    QCOMPARE(outcome(), QStringLiteral("published"));
    diff = E2e::compareFiles(expectedNow(), E2e::filesUnder(outA));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(clickAt(QStringLiteral("#btn-done-close")));

    // With nothing changed and the record intact, only the project file goes.
    QVERIFY(publishLocal(outA, true));
    QCOMPARE(E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.sentFiles")).toStringList(),
             QStringList { QStringLiteral("project.quillary") });
    QVERIFY(clickAt(QStringLiteral("#btn-done-close")));
}

void TestE2eHonest::wrongPasswordFailsWithNothingSent_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("ftps (vsftpd, TLS on)") << int(TestServer::VsftpdExplicit);
    QTest::newRow("sftp (sshd)") << int(TestServer::Sftp);
}

// The page looks into the server folder before it publishes there; when that
// log-in is refused, it stops in the dialog with the reason, and no run tries
// the password again: one refused log-in in the server's log for the whole
// publish, and nothing sent.
void TestE2eHonest::wrongPasswordFailsWithNothingSent()
{
    QFETCH(int, kind);
    TestServer server { TestServer::Kind(kind) };
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(openSite(siteA));
    QVERIFY(addServer(server, QStringLiteral("not-the-password"), QStringLiteral("wrong")));
    QVERIFY(clickAt(QStringLiteral("#btn-publish-go")));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('publish-problem').hidden"), 30000));
    shot(QStringLiteral("honest-05-wrong-password-") + server.name());
    const QString problem = E2e::text(*window, QStringLiteral("#publish-problem"));
    QVERIFY2(problem.contains(QStringLiteral("refused the user name or password. Check them in the site manager")), qPrintable(problem));
    QVERIFY(E2e::visible(*window, QStringLiteral("#publish-dialog")));
    // No run was started: the progress display never showed, nothing is busy.
    QVERIFY(E2e::eval(*window, QStringLiteral("document.getElementById('progress').hidden")).toBool());
    QVERIFY(E2e::eval(*window, QStringLiteral("Bridge._uploadInstance === false && !Bridge._fmCurrent")).toBool());
    QTest::qWait(1000);
    QCOMPARE(server.failedLogins(), 1);
    QCOMPARE(server.logins(), 0);
    QVERIFY(!E2e::eval(*window, QStringLiteral("document.body.textContent")).toString().contains(QStringLiteral("not-the-password")));
    QVERIFY(E2e::filesUnder(server.rootFolder()).isEmpty());
    key(Qt::Key_Escape);
    QVERIFY(E2e::waitFor(*window, QStringLiteral("document.getElementById('publish-dialog').hidden"), 2000));
}

void TestE2eHonest::stoppedServerPublishesWithErrors()
{
    TestServer server(TestServer::PyFtp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(openSite(siteB));
    QVERIFY(addServer(server, server.password(), QStringLiteral("stopped")));
    // Held after the third file that arrived, so the server can be stopped mid-run.
    E2e::eval(*window, QStringLiteral(
            "window.held = false; window.realUploaded = Bridge._fmUploaded; window.uploadedSeen = 0;"
            "Bridge._fmUploaded = function (f) { realUploaded.apply(Bridge, arguments);"
            "  if (++uploadedSeen === 3) { _Bridge_.pausePublish(); held = true; } };"));
    QVERIFY(clickAt(QStringLiteral("#btn-publish-go")));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("window.held"), 30000));
    E2e::eval(*window, QStringLiteral("Bridge._fmUploaded = window.realUploaded;"));
    QVERIFY(server.stop());
    E2e::eval(*window, QStringLiteral("Bridge.resumePublish();"));

    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('progress-error').hidden"), 60000));
    QVERIFY2(E2e::text(*window, QStringLiteral("#progress-error-text")).contains(QStringLiteral("No answer from the server")),
             qPrintable(E2e::text(*window, QStringLiteral("#progress-error-text"))));
    shot(QStringLiteral("honest-06-server-stopped-error"));
    QVERIFY(clickAt(QStringLiteral("#btn-err-ignore")));
    QVERIFY(waitDone(120000));
    shot(QStringLiteral("honest-07-published-with-errors"));
    QCOMPARE(outcome(), QStringLiteral("errors"));

    // The counts are those of the server's disk: whole files that arrived, the rest failed.
    const QMap<QString, QByteArray> expected = expectedNow();
    const QMap<QString, QByteArray> there = E2e::filesUnder(server.rootFolder() + QStringLiteral("/stopped"));
    QStringList arrived;
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (there.value(it.key()) == it.value() && there.contains(it.key()))
            arrived << it.key();
    }
    QStringList sent = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.sentFiles")).toStringList();
    sent.sort();
    arrived.sort();
    QCOMPARE(sent, arrived);
    QVERIFY(arrived.size() >= 3 && arrived.size() < expected.size());
    const int failed = expected.size() - arrived.size();
    const QString text = E2e::text(*window, QStringLiteral("#progress-done-text"));
    QVERIFY2(text.contains(QStringLiteral("%1 files sent, %2 failed.").arg(arrived.size()).arg(failed)), qPrintable(text));
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.querySelectorAll('#progress-failed li').length")).toInt(), failed);
    QCOMPARE(E2e::visible(*window, QStringLiteral("#btn-open-index")), arrived.contains(QStringLiteral("index.html")));
    QCOMPARE(E2e::text(*window, QStringLiteral("#progress-count")),
             QStringLiteral("%1 of %2 files sent, %3 failed").arg(arrived.size()).arg(expected.size()).arg(failed));
    QVERIFY(clickAt(QStringLiteral("#btn-done-close")));
}

void TestE2eHonest::cancelShowsWhatWasStopped()
{
    TestServer server(TestServer::PyFtp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(openSite(siteA));
    QVERIFY(addServer(server, server.password(), QStringLiteral("cancelled")));
    // Held after the second file started, with the display showing the run.
    E2e::eval(*window, QStringLiteral(
            "window.held = false; window.realFile = Bridge._fmFile; window.startedSeen = 0;"
            "Bridge._fmFile = function (f) { realFile.apply(Bridge, arguments);"
            "  if (++startedSeen === 2) { _Bridge_.pausePublish(); held = true; } };"));
    QVERIFY(clickAt(QStringLiteral("#btn-publish-go")));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("window.held"), 30000));
    E2e::eval(*window, QStringLiteral("Bridge._fmFile = window.realFile;"));
    QTest::qWait(100);
    shot(QStringLiteral("honest-08-running"));
    QVERIFY(E2e::visible(*window, QStringLiteral("#btn-progress-cancel")));
    QVERIFY(clickAt(QStringLiteral("#btn-progress-cancel")));
    QVERIFY(waitDone(30000));
    shot(QStringLiteral("honest-09-stopped"));
    QCOMPARE(outcome(), QStringLiteral("stopped"));
    const QString text = E2e::text(*window, QStringLiteral("#progress-done-text"));
    QVERIFY2(text.startsWith(QStringLiteral("You stopped publishing to ")), qPrintable(text));
    const QStringList sent = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.sentFiles")).toStringList();
    const QStringList notSent = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.notSent")).toStringList();
    const QString cut = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.cutOff || ''")).toString();
    const int total = E2e::expectedUpload(*window).size();
    QCOMPARE(sent.size() + notSent.size() + (cut.isEmpty() ? 0 : 1), total);
    QVERIFY(!notSent.isEmpty());
    QVERIFY2(text.contains(QStringLiteral("%1 file%2 not sent").arg(notSent.size()).arg(notSent.size() == 1 ? "" : "s")),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("%1 sent").arg(sent.size() == 1 ? QStringLiteral("1 file") : QStringLiteral("%1 files").arg(sent.size()))),
             qPrintable(text));
    if (!cut.isEmpty())
        QVERIFY(text.contains(cut + QStringLiteral(" was cut off")));
    // Whatever the page calls sent is on the server whole.
    const QMap<QString, QByteArray> expected = expectedNow();
    const QMap<QString, QByteArray> there = E2e::filesUnder(server.rootFolder() + QStringLiteral("/cancelled"));
    for (const QString &f : sent)
        QVERIFY2(there.contains(f) && there.value(f) == expected.value(f), qPrintable(f));
    // Escape closes the summary.
    key(Qt::Key_Escape);
    QVERIFY(E2e::waitFor(*window, QStringLiteral("document.getElementById('progress').hidden"), 2000));
}

void TestE2eHonest::escapeClosesDialogAndFocusReturns()
{
    QVERIFY(clickAt(QStringLiteral("#btn-publish")));
    QVERIFY(E2e::visible(*window, QStringLiteral("#publish-dialog")));
    QVERIFY(E2e::eval(*window, QStringLiteral("document.getElementById('publish-dialog').contains(document.activeElement)")).toBool());
    // Tab and Shift+Tab walk the dialog's controls only, never the page behind it.
    for (int i = 0; i < 25; ++i) {
        key(Qt::Key_Tab);
        QVERIFY2(E2e::eval(*window, QStringLiteral("document.getElementById('publish-dialog').contains(document.activeElement)")).toBool(),
                 qPrintable(activeId()));
    }
    for (int i = 0; i < 5; ++i) {
        key(Qt::Key_Backtab, Qt::ShiftModifier);
        QVERIFY(E2e::eval(*window, QStringLiteral("document.getElementById('publish-dialog').contains(document.activeElement)")).toBool());
    }
    shot(QStringLiteral("honest-10-dialog-focus"));
    key(Qt::Key_Escape);
    QVERIFY(!E2e::visible(*window, QStringLiteral("#publish-dialog")));
    QCOMPARE(activeId(), QStringLiteral("btn-publish"));

    // Enter on the focused Publish button of the title bar opens it again; the
    // question of Remove answers Escape with "keep".
    key(Qt::Key_Return);
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('publish-dialog').hidden"), 2000));
    QVERIFY(clickAt(QStringLiteral("#tab-ftp")));
    const int before = window->bridge()->regExportData().value(QStringLiteral("ftpData")).toMap()
                               .value(QStringLiteral("location")).toList().size();
    if (before > 0) {
        QVERIFY(clickAt(QStringLiteral("#btn-ftp-remove")));
        QVERIFY(E2e::visible(*window, QStringLiteral("#confirm")));
        QCOMPARE(activeId(), QStringLiteral("btn-confirm-no"));
        shot(QStringLiteral("honest-11-remove-question"));
        key(Qt::Key_Escape);
        QVERIFY(!E2e::visible(*window, QStringLiteral("#confirm")));
        QVERIFY(E2e::visible(*window, QStringLiteral("#publish-dialog")));
        QCOMPARE(activeId(), QStringLiteral("btn-ftp-remove"));
        QCOMPARE(window->bridge()->regExportData().value(QStringLiteral("ftpData")).toMap()
                         .value(QStringLiteral("location")).toList().size(), before);
    }
    key(Qt::Key_Escape);
    QVERIFY(!E2e::visible(*window, QStringLiteral("#publish-dialog")));
    QCOMPARE(activeId(), QStringLiteral("btn-publish"));
}

void TestE2eHonest::ctrlSSaves()
{
    QVERIFY(openSite(siteA));
    QVERIFY(typeInto(QStringLiteral("#page-title"), QStringLiteral("Typed and saved")));
    // Ctrl+S in the field: the page saves what stands in it, and says so.
    key(Qt::Key_S, Qt::ControlModifier);
    QVERIFY(E2e::waitFor(*window, QStringLiteral("document.getElementById('status').textContent === 'Saved'"), 3000));
    shot(QStringLiteral("honest-12-saved"));
    const QJsonObject project = QJsonDocument::fromJson(E2e::readFile(siteA)).object();
    QCOMPARE(project.value(QStringLiteral("pages")).toArray().first().toObject().value(QStringLiteral("title")).toString(),
             QStringLiteral("Typed and saved"));
    QCOMPARE(activeId(), QStringLiteral("page-title"));

    // A project file that cannot be written: the error, not "Saved".
    const QString folder = QFileInfo(siteA).path();
    QVERIFY(QFile::setPermissions(siteA, QFileDevice::ReadOwner));
    QVERIFY(QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    key(Qt::Key_S, Qt::ControlModifier);
    const bool told = E2e::waitFor(*window, QStringLiteral("!document.getElementById('message').hidden"), 3000);
    shot(QStringLiteral("honest-13-not-saved"));
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QFile::setPermissions(siteA, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    QVERIFY(told);
    QVERIFY(E2e::text(*window, QStringLiteral("#status")).startsWith(QStringLiteral("Not saved")));
    QCOMPARE(activeId(), QStringLiteral("btn-message-ok"));
    key(Qt::Key_Return);
    QVERIFY(!E2e::visible(*window, QStringLiteral("#message")));
    QCOMPARE(activeId(), QStringLiteral("page-title"));
}

void TestE2eHonest::smallWindowKeepsHeaderTidy()
{
    window->resize(480, 360);
    QTest::qWait(200);
    QVERIFY(window->width() >= 640 && window->height() >= 420);
    shot(QStringLiteral("honest-14-smallest-window"));
    // Every title-bar button is inside the window and none overlaps the site's name.
    const QVariantMap r = E2e::eval(*window, QStringLiteral(
            "(function(){ function box(s){ var r = document.querySelector(s).getBoundingClientRect();"
            " return {l: r.left, r: r.right, t: r.top, b: r.bottom}; }"
            " var t = box('#site-title'), a = box('#topbar .actions'), w = document.documentElement.clientWidth;"
            " var title = document.getElementById('page-title').getBoundingClientRect();"
            " return { overlap: !(t.r <= a.l || t.b <= a.t || a.b <= t.t), inside: a.r <= w + 0.5,"
            "          titleWidth: title.width, wide: document.documentElement.scrollWidth > w }; })()")).toMap();
    QVERIFY(!r.value(QStringLiteral("wide")).toBool());
    QVERIFY(!r.value(QStringLiteral("overlap")).toBool());
    QVERIFY(r.value(QStringLiteral("inside")).toBool());
    QVERIFY2(r.value(QStringLiteral("titleWidth")).toDouble() >= 150, qPrintable(r.value(QStringLiteral("titleWidth")).toString()));
    // The publish dialog keeps its size from tab to tab.
    QVERIFY(clickAt(QStringLiteral("#btn-publish")));
    QList<int> heights;
    for (const char *tab : { "#tab-local", "#tab-ftp", "#tab-github" }) {
        QVERIFY(clickAt(QString::fromLatin1(tab)));
        heights << E2e::eval(*window, QStringLiteral("document.querySelector('#publish-dialog .dialog').offsetHeight")).toInt();
    }
    shot(QStringLiteral("honest-15-small-dialog"));
    QCOMPARE(heights.at(1), heights.at(0));
    QCOMPARE(heights.at(2), heights.at(0));
    key(Qt::Key_Escape);
}

void TestE2eHonest::previewLinksStayInside()
{
    QVERIFY(openSite(siteA));
    E2e::eval(*window, QStringLiteral("qlrApp.selectPage(0)"));
    // The menu link to the About page, clicked inside the preview.
    const QVariantList at = E2e::eval(*window, QStringLiteral(
            "(function(){ var f = document.getElementById('preview'), fr = f.getBoundingClientRect();"
            " var a = Array.prototype.filter.call(f.contentDocument.querySelectorAll('nav a'),"
            "   function (n) { return n.getAttribute('href') === 'about.html'; })[0];"
            " if (!a) return []; var r = a.getBoundingClientRect();"
            " return [fr.left + r.left + r.width / 2, fr.top + r.top + r.height / 2]; })()")).toList();
    QCOMPARE(at.size(), 2);
    const qreal zoom = view()->zoomFactor();
    QTest::mouseClick(view(), Qt::LeftButton, Qt::NoModifier,
                      QPoint(qRound(at.at(0).toDouble() * zoom), qRound(at.at(1).toDouble() * zoom)));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("qlrApp.currentSite().page === 1"), 5000));
    QVERIFY(E2e::waitFor(*window, QStringLiteral(
            "document.getElementById('preview').contentDocument.body.textContent.indexOf('About us') >= 0"), 5000));
    QCOMPARE(E2e::text(*window, QStringLiteral("#page-file")), QStringLiteral("about.html"));
    QVERIFY(!E2e::eval(*window, QStringLiteral("document.getElementById('preview').contentDocument.body.textContent"))
                     .toString().contains(QStringLiteral("Error opening")));
    shot(QStringLiteral("honest-16-preview-link"));
}

void TestE2eHonest::sameServerTwiceIsOneEntry()
{
    TestServer server(TestServer::PyFtp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(addServer(server, QStringLiteral("first-password"), QStringLiteral("www")));
    const QString shown = QStringLiteral("ftp://%1@%2:%3").arg(server.user(), server.host()).arg(server.port());
    auto sameServer = [&]() {
        QStringList found;
        for (const QString &l : ftpLocations()) {
            if (l.contains(QStringLiteral("@%1:%2").arg(server.host()).arg(server.port())))
                found << l;
        }
        return found;
    };
    QCOMPARE(sameServer().size(), 1);

    // The same server added again with another password: the entry already there
    // takes the new password, no second one hides behind it.
    QVERIFY(addServer(server, QStringLiteral("second-password"), QStringLiteral("www")));
    QCOMPARE(sameServer(), QStringList { QStringLiteral("ftp://%1:second-password@%2:%3")
                                                 .arg(server.user(), server.host()).arg(server.port()) });
    QVERIFY(E2e::visible(*window, QStringLiteral("#ftp-note")));
    const QStringList rows = E2e::texts(*window, QStringLiteral("#ftp-list li"));
    QCOMPARE(rows.count(shown), 1);
    QCOMPARE(E2e::text(*window, QStringLiteral("#ftp-list li.current")), shown);
    shot(QStringLiteral("honest-17-same-server-once"));
    // Escape takes back both additions.
    key(Qt::Key_Escape);
    QVERIFY(!E2e::visible(*window, QStringLiteral("#publish-dialog")));
    QCOMPARE(sameServer(), QStringList());
}

void TestE2eHonest::connectionTestGivesReasonAndCancels()
{
    TestServer server(TestServer::PyFtp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(addServer(server, QStringLiteral("wrong-password"), QString()));
    QVERIFY(clickAt(QStringLiteral("#btn-ftp-test")));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("document.getElementById('ftp-test-result').textContent !== 'Testing\\u2026'"),
                         30000));
    QCOMPARE(E2e::text(*window, QStringLiteral("#ftp-test-result")), QStringLiteral("Connection failed"));
    // The reason, when the host gives one, or what to check.
    QVERIFY(E2e::visible(*window, QStringLiteral("#ftp-test-detail")));
    QVERIFY(!E2e::text(*window, QStringLiteral("#ftp-test-detail")).isEmpty());
    shot(QStringLiteral("honest-18-connection-test-reason"));

    // A cancelled test: the page stops waiting and a late answer changes nothing.
    QVERIFY(E2e::eval(*window, QStringLiteral(
            "document.getElementById('btn-ftp-test').click();"
            "var shown = !document.getElementById('btn-ftp-test-cancel').hidden;"
            "document.getElementById('btn-ftp-test-cancel').click(); shown")).toBool());
    QTest::qWait(300);
    QCOMPARE(E2e::text(*window, QStringLiteral("#ftp-test-result")), QStringLiteral("Test cancelled"));
    QVERIFY(!E2e::visible(*window, QStringLiteral("#btn-ftp-test-cancel")));
    QVERIFY(!E2e::eval(*window, QStringLiteral("document.getElementById('btn-ftp-test').disabled")).toBool());

    // Cancel of a test the host waits for, on a server that accepted and says
    // nothing: the host's call ends, and the server sees the connection close,
    // long before the call's deadline.
    qputenv("QUILLARY_FTP_DEADLINE_MS", "30000");
    struct Restore { ~Restore() { qunsetenv("QUILLARY_FTP_DEADLINE_MS"); } } restore;
    MuteServer mute;
    QVERIFY(mute.port() > 0);
    QVERIFY(typeInto(QStringLiteral("#ftp-port"), QString::number(mute.port())));
    key(Qt::Key_Tab);
    bool runningAtCancel = false;
    bool cancelClicked = false;
    QElapsedTimer sinceCancel;
    mute.onAccepted = [&]() {
        // The user clicks Cancel while the host waits (inside its wait, as a real click comes).
        QTimer::singleShot(300, this, [&]() {
            runningAtCancel = window->bridge()->remoteCallRunning();
            sinceCancel.start();
            cancelClicked = clickAt(QStringLiteral("#btn-ftp-test-cancel"));
        });
    };
    QVERIFY(clickAt(QStringLiteral("#btn-ftp-test")));
    QTRY_VERIFY_WITH_TIMEOUT(cancelClicked && !window->bridge()->remoteCallRunning(), 20000);
    const qint64 took = sinceCancel.elapsed();
    QVERIFY(runningAtCancel);
    QVERIFY2(took < 3000, qPrintable(QString::number(took)));
    QTRY_COMPARE_WITH_TIMEOUT(mute.closed, 1, 3000);
    QCOMPARE(window->bridge()->property("error").toString(), QStringLiteral("Cancelled."));
    QTest::qWait(300);
    QCOMPARE(E2e::text(*window, QStringLiteral("#ftp-test-result")), QStringLiteral("Test cancelled"));
    QVERIFY(!E2e::visible(*window, QStringLiteral("#ftp-test-detail")));
    key(Qt::Key_Escape);
}

void TestE2eHonest::goneRecentSiteCanBeRemoved()
{
    const QString gone = makeSite(scratch.filePath(QStringLiteral("site-gone")), QStringLiteral("Gone Gallery"));
    QVERIFY(openSite(gone));
    QVERIFY(openSite(siteA));
    QVERIFY(QDir(QFileInfo(gone).path()).removeRecursively());
    const QString item = QStringLiteral("#recent-list li[title$='site-gone/project.quillary']");
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!!document.querySelector(%1)").arg(E2e::quoted(item)), 3000));
    QVERIFY(clickAt(item));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('confirm').hidden"), 3000));
    QVERIFY(E2e::text(*window, QStringLiteral("#confirm-text")).contains(QStringLiteral("no longer holds this site")));
    shot(QStringLiteral("honest-19-gone-recent-site"));
    QVERIFY(clickAt(QStringLiteral("#btn-confirm-yes")));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.querySelector(%1)").arg(E2e::quoted(item)), 3000));
    QCOMPARE(E2e::text(*window, QStringLiteral("#site-title")), QStringLiteral("Alpha Bakery"));
    QVERIFY(!E2e::readFile(E2e::dataFolder() + QStringLiteral("/recents.list")).contains("site-gone"));
}

void TestE2eHonest::errorsGoToTheRightFile_data()
{
    // What stands in the destination folder before the run, and the files that
    // therefore cannot arrive. A folder where a file must go cannot be replaced by
    // it; a plain file where a folder must be makes every file below it fail.
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QStringList>("plainFiles");
    QTest::addColumn<QString>("failing");     // a pattern of the destinations that fail
    QTest::newRow("nothing in the way") << QStringList() << QStringList() << QString();
    QTest::newRow("no folder can be made") << QStringList() << QStringList({ "assets" }) << "^assets/";
    QTest::newRow("a generated page and a joined script") << QStringList({ "index.html/x", "assets/quillary/js/site.js/x" })
                                                          << QStringList() << "^(index\\.html|assets/quillary/js/site\\.js)$";
    QTest::newRow("one image") << QStringList({ "assets/images/hero.png/x" }) << QStringList() << "^assets/images/hero\\.png$";
}

// A real run into a local folder where some files cannot arrive: each failure is
// put on its own file, every other file is sent, and the page's record of what
// the folder holds is what is on the disk.
void TestE2eHonest::errorsGoToTheRightFile()
{
    QFETCH(QStringList, folders);
    QFETCH(QStringList, plainFiles);
    QFETCH(QString, failing);
    const QString out = scratch.filePath(QStringLiteral("errors-%1").arg(QTest::currentDataTag()).replace(QLatin1Char(' '), QLatin1Char('-')));
    for (const QString &folder : folders)
        QVERIFY(QDir().mkpath(out + QLatin1Char('/') + folder));
    for (const QString &name : plainFiles) {
        QVERIFY(QDir().mkpath(QFileInfo(out + QLatin1Char('/') + name).path()));
        QFile file(out + QLatin1Char('/') + name);
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("in the way") == 10);
    }
    QVERIFY(openSite(siteA));

    QVERIFY(startLocal(out, false));
    // The first error holds the run; "ignore further errors" lets it go on to the end.
    const QString errorShown = QStringLiteral("!document.getElementById('progress-error').hidden");
    const QString doneShown = QStringLiteral("!document.getElementById('progress-done').hidden");
    QVERIFY(E2e::waitFor(*window, errorShown + QStringLiteral(" || ") + doneShown, 20000));
    QCOMPARE(E2e::eval(*window, errorShown).toBool(), !failing.isEmpty());
    if (!failing.isEmpty())
        QVERIFY(clickAt(QStringLiteral("#btn-err-ignore")));
    QVERIFY(waitDone(20000));

    // The published project file holds what the run gave the site (its identity).
    const QMap<QString, QByteArray> expected = expectedNow();
    QStringList wantFailed;
    const QRegularExpression fails(failing.isEmpty() ? QStringLiteral("(?!)") : failing);
    for (const QString &dest : expected.keys()) {
        if (fails.match(dest).hasMatch())
            wantFailed << dest;
    }
    QCOMPARE(wantFailed.isEmpty(), failing.isEmpty());

    QStringList failed = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.failedFiles")).toStringList();
    QStringList sent = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.sentFiles")).toStringList();
    QStringList wantSent = expected.keys();
    for (const QString &dest : wantFailed)
        wantSent.removeAll(dest);
    failed.sort();
    sent.sort();
    wantFailed.sort();
    wantSent.sort();
    QCOMPARE(failed, wantFailed);
    QCOMPARE(sent, wantSent);
    QCOMPARE(outcome(), wantFailed.isEmpty() ? QStringLiteral("published") : QStringLiteral("errors"));
    // The list of failures names each failed file once, and no file that arrived.
    QStringList listed = E2e::eval(*window, QStringLiteral(
            "Array.prototype.map.call(document.querySelectorAll('#progress-failed li'), function (li) {"
            " return li.textContent.split(': ')[0]; })")).toStringList();
    listed.sort();
    QCOMPARE(listed, wantFailed);

    // What the page calls sent is in the folder whole; what failed is not.
    const QMap<QString, QByteArray> there = E2e::filesUnder(out);
    for (const QString &dest : wantSent)
        QVERIFY2(there.value(dest) == expected.value(dest), qPrintable(dest));
    for (const QString &dest : wantFailed)
        QVERIFY2(there.value(dest) != expected.value(dest), qPrintable(dest));
    // The next changes-only run knows this folder to hold exactly the files sent.
    const QJsonObject store = QJsonDocument::fromJson(
            E2e::readFile(QFileInfo(siteA).path() + QStringLiteral("/publish-hashes.json"))).object();
    QStringList known;
    for (auto it = store.constBegin(); it != store.constEnd(); ++it) {
        if (it.key().endsWith(QFileInfo(out).fileName()))
            known = it.value().toObject().keys();
    }
    known.sort();
    QCOMPARE(known, wantSent);
    key(Qt::Key_Escape);
}

// A stop while files wait to be put in place together: the page counts as sent
// exactly the files that are in the folder, so the next changes-only run sends
// the rest.
void TestE2eHonest::stopCountsWhatIsInPlace()
{
    const QString out = scratch.filePath(QStringLiteral("stopped-local"));
    QVERIFY(openSite(siteA));
    // Stopped with the page's own Cancel while the third generated text is made:
    // the files before it are being written, and none is reported in place yet.
    E2e::eval(*window, QStringLiteral(
            "window.realTemplating = Bridge.templating; window.madeSeen = 0;"
            "Bridge.templating = function () {"
            "  if (++madeSeen === 3) document.getElementById('btn-progress-cancel').click();"
            "  return realTemplating.apply(Bridge, arguments); };"));
    QVERIFY(startLocal(out, false));
    const bool done = waitDone(20000);
    E2e::eval(*window, QStringLiteral("Bridge.templating = window.realTemplating;"));
    QVERIFY(done);
    QVERIFY(E2e::eval(*window, QStringLiteral("window.madeSeen")).toInt() >= 3);
    QCOMPARE(outcome(), QStringLiteral("stopped"));
    const QMap<QString, QByteArray> expected = expectedNow();
    QStringList sent = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.sentFiles")).toStringList();
    QStringList inPlace;
    const QMap<QString, QByteArray> there = E2e::filesUnder(out);
    for (auto it = there.cbegin(); it != there.cend(); ++it) {
        QVERIFY2(expected.contains(it.key()), qPrintable(it.key()));
        QVERIFY2(it.value() == expected.value(it.key()), qPrintable(it.key()));
        inPlace << it.key();
    }
    sent.sort();
    inPlace.sort();
    QCOMPARE(sent, inPlace);
    QVERIFY(sent.size() < expected.size());
    const QStringList notSent = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.notSent")).toStringList();
    const QStringList cut = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.cutOffFiles")).toStringList();
    QCOMPARE(sent.size() + notSent.size() + cut.size(), expected.size());
    key(Qt::Key_Escape);
}

void TestE2eHonest::serverNamedWithItsPort_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("named");
    QTest::newRow("name, default port") << "ftp://u:p@ftp.example.com/www" << "the server ftp.example.com:21";
    QTest::newRow("SFTP, default port") << "sftp://u@example.com" << "the server example.com:22";
    QTest::newRow("IPv6 as typed") << "ftps://u:p@::1:2121/" << "the server [::1]:2121";
    QTest::newRow("IPv6 in brackets") << "ftp://u:p@[::1]:21/" << "the server [::1]:21";
}

// The page's messages name a server as the host's do: an IPv6 address in
// brackets, so that its port stands apart.
void TestE2eHonest::serverNamedWithItsPort()
{
    QFETCH(QString, location);
    QFETCH(QString, named);
    QCOMPARE(E2e::eval(*window, QStringLiteral("qlrApp.publishing.serverName(qlrApp.parseLocation(%1))")
                                        .arg(E2e::quoted(location))).toString(), named);
}

void TestE2eHonest::serverFolderOfAnotherSiteAsksFirst_data()
{
    // What the server folder's project file holds: another site's identity, no
    // identity and another title (an older version wrote it), text that is no
    // project, or this site's own; and the site the question names.
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<bool>("asks");
    QTest::addColumn<QString>("named");
    QTest::newRow("another site") << "other" << true << "Gamma Garden";
    QTest::newRow("another site, no identity") << "untitled" << true << "Gamma Garden";
    QTest::newRow("no project") << "garbled" << true << "another site";
    QTest::newRow("this site") << "own" << false << "";
}

// A server folder published to from another computer: this one keeps no record of
// who published there, so the page reads the folder's project file to know.
void TestE2eHonest::serverFolderOfAnotherSiteAsksFirst()
{
    QFETCH(QString, fixture);
    QFETCH(bool, asks);
    QFETCH(QString, named);
    // A frozen server is woken well inside this; a check that never ends fails the test.
    qputenv("QUILLARY_FTP_DEADLINE_MS", "15000");
    struct Restore { ~Restore() { qunsetenv("QUILLARY_FTP_DEADLINE_MS"); } } restore;

    TestServer server(TestServer::PyFtp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(openSite(siteA));
    QByteArray project;
    if (fixture == QLatin1String("own")) {
        project = E2e::eval(*window, QStringLiteral("qlrApp.siteId(qlrApp.currentSite());"
                                                    " qlrApp.projectText(qlrApp.currentSite().project)")).toString().toUtf8();
    } else if (fixture == QLatin1String("garbled")) {
        project = "{ \"settings\": { \"title\": \"Cut off";
    } else {
        QJsonObject settings { { QStringLiteral("title"), QStringLiteral("Gamma Garden") } };
        if (fixture == QLatin1String("other"))
            settings.insert(QStringLiteral("siteId"), QStringLiteral("site-published-elsewhere"));
        project = QJsonDocument(QJsonObject { { QStringLiteral("settings"), settings },
                                              { QStringLiteral("pages"), QJsonArray() } }).toJson();
    }
    QVERIFY(project.contains("\"settings\""));
    {
        // The server's folder belongs to root, as the server's files do.
        TestEnv::RootScope root;
        QVERIFY(root.ok());
        QVERIFY(QDir().mkpath(server.rootFolder() + QStringLiteral("/www")));
        for (const auto &file : { qMakePair(QStringLiteral("project.quillary"), project),
                                  qMakePair(QStringLiteral("index.html"), QByteArray("<h1>Published before</h1>\n")) }) {
            QFile out(server.rootFolder() + QStringLiteral("/www/") + file.first);
            QVERIFY(out.open(QIODevice::WriteOnly) && out.write(file.second) == file.second.size());
        }
    }
    const QMap<QString, QByteArray> before = E2e::filesUnder(server.rootFolder() + QStringLiteral("/www"));
    QCOMPARE(before.size(), 2);
    // No record on this computer of anyone publishing there.
    const QString dest = QStringLiteral("ftp://%1@%2:%3/www").arg(server.user(), server.host()).arg(server.port());
    QVERIFY(E2e::eval(*window, QStringLiteral("qlrApp.destinationOwner(%1) === null").arg(E2e::quoted(dest))).toBool());

    QVERIFY(addServer(server, server.password(), QStringLiteral("www")));
    // The server, frozen, keeps the page waiting for its answer: meanwhile the window
    // goes on painting and says what it waits for. Woken, the server answers.
    QVERIFY(server.sendSignal(SIGSTOP));
    int ticks = 0;
    int ticksChecking = 0;
    QString checkingText;
    bool woken = false;
    QTimer watch;
    watch.setInterval(20);
    connect(&watch, &QTimer::timeout, this, [&]() {
        const QWebElement note = view()->page()->mainFrame()->findFirstElement(QStringLiteral("#publish-checking"));
        if (!note.isNull() && !note.hasAttribute(QStringLiteral("hidden"))) {
            checkingText = note.toPlainText();
            ++ticksChecking;
        }
        if (!woken && (ticksChecking == 40 || ++ticks > 400)) {
            if (ticksChecking)
                window->grab().save(TestEnv::outputDir(QStringLiteral("e2e")) + QStringLiteral("/honest-20-checking-server-folder-")
                                    + fixture + QStringLiteral(".png"));
            woken = server.sendSignal(SIGCONT);
        }
    });
    watch.start();
    QVERIFY(clickAt(QStringLiteral("#btn-publish-go")));
    const bool settled = E2e::waitFor(*window, QStringLiteral("document.getElementById('publish-checking').hidden"), 20000);
    watch.stop();
    if (!woken)
        server.sendSignal(SIGCONT);
    QVERIFY(settled);
    QVERIFY(woken);
    QCOMPARE(checkingText, QStringLiteral("Checking the server folder\u2026"));
    QVERIFY2(ticksChecking >= 40, qPrintable(QString::number(ticksChecking)));

    if (asks) {
        QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('confirm').hidden"), 5000));
        const QString question = E2e::text(*window, QStringLiteral("#confirm-text"));
        QVERIFY2(question.contains(QLatin1Char('"') + named + QLatin1Char('"')), qPrintable(question));
        QVERIFY2(question.contains(dest), qPrintable(question));
        QVERIFY(!question.contains(server.password()));
        QCOMPARE(E2e::text(*window, QStringLiteral("#btn-confirm-yes")), QStringLiteral("Publish here anyway"));
        // Cancel is the default: it has the focus.
        QCOMPARE(activeId(), QStringLiteral("btn-confirm-no"));
        shot(QStringLiteral("honest-21-server-other-site-question-") + fixture);
        QVERIFY(clickAt(QStringLiteral("#btn-confirm-no")));
        QTest::qWait(300);
        QVERIFY(!E2e::visible(*window, QStringLiteral("#progress")));
        QVERIFY(E2e::visible(*window, QStringLiteral("#publish-dialog")));
        QCOMPARE(E2e::filesUnder(server.rootFolder() + QStringLiteral("/www")), before);
        key(Qt::Key_Escape);
        QVERIFY(!E2e::visible(*window, QStringLiteral("#publish-dialog")));
        return;
    }
    // This site's own folder: published without a question, every file there.
    QVERIFY(waitDone(60000));
    QVERIFY(!E2e::visible(*window, QStringLiteral("#confirm")));
    shot(QStringLiteral("honest-22-server-own-site-published"));
    QCOMPARE(outcome(), QStringLiteral("published"));
    QMap<QString, QByteArray> expected = expectedNow();
    QMap<QString, QByteArray> there = E2e::filesUnder(server.rootFolder() + QStringLiteral("/www"));
    QVERIFY(there.value(QStringLiteral("index.html")).contains("Alpha Bakery"));
    const QString diff = E2e::compareFiles(expected, there);
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(E2e::eval(*window, QStringLiteral("qlrApp.destinationOwner(%1).title").arg(E2e::quoted(dest))).toString()
            == QStringLiteral("Alpha Bakery"));
    QVERIFY(clickAt(QStringLiteral("#btn-done-close")));
}

void TestE2eHonest::serverFolderThatCannotBeCheckedAsksFirst_data()
{
    // Whether the server could be asked about its folder's project file, and
    // what the user answers when the page has to ask.
    QTest::addColumn<bool>("answers");
    QTest::addColumn<QString>("reply");
    QTest::newRow("nothing there: no question") << true << "";
    QTest::newRow("no answer in time: asked, Cancel") << false << "no";
    QTest::newRow("no answer in time: asked, publish anyway") << false << "yes";
}

// "Could not ask" is not "nothing there": a server folder whose project file
// could not be read is published to only when the user says so.
void TestE2eHonest::serverFolderThatCannotBeCheckedAsksFirst()
{
    QFETCH(bool, answers);
    QFETCH(QString, reply);
    qputenv("QUILLARY_FTP_DEADLINE_MS", "2000");
    struct Restore { ~Restore() { qunsetenv("QUILLARY_FTP_DEADLINE_MS"); } } restore;

    TestServer server(TestServer::PyFtp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(openSite(siteA));
    const QString folder = server.rootFolder() + QStringLiteral("/fresh");
    QVERIFY(addServer(server, server.password(), QStringLiteral("fresh")));
    if (!answers)
        QVERIFY(server.sendSignal(SIGSTOP));
    QVERIFY(clickAt(QStringLiteral("#btn-publish-go")));
    const bool settled = E2e::waitFor(*window, QStringLiteral("document.getElementById('publish-checking').hidden"), 20000);
    if (!answers)
        QVERIFY(server.sendSignal(SIGCONT));
    QVERIFY(settled);

    if (answers) {
        // The folder does not exist yet: nothing there, so nothing to ask.
        QVERIFY(waitDone(60000));
        QVERIFY(!E2e::visible(*window, QStringLiteral("#confirm")));
        QCOMPARE(outcome(), QStringLiteral("published"));
        const QString diff = E2e::compareFiles(expectedNow(), E2e::filesUnder(folder));
        QVERIFY2(diff.isEmpty(), qPrintable(diff));
        QVERIFY(clickAt(QStringLiteral("#btn-done-close")));
        return;
    }
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('confirm').hidden"), 5000));
    QCOMPARE(E2e::text(*window, QStringLiteral("#confirm-title")), QStringLiteral("The server folder could not be checked"));
    const QString question = E2e::text(*window, QStringLiteral("#confirm-text"));
    // The host's reason, and which folder it is about.
    QVERIFY2(question.contains(QStringLiteral("within 2 s")), qPrintable(question));
    QVERIFY2(question.contains(QStringLiteral("%1:%2/fresh").arg(server.host()).arg(server.port())), qPrintable(question));
    QVERIFY(!question.contains(server.password()));
    QCOMPARE(activeId(), QStringLiteral("btn-confirm-no"));
    shot(QStringLiteral("honest-23-server-folder-not-checked"));
    // Nothing went out while the question waits.
    QTest::qWait(500);
    QVERIFY(!QFileInfo::exists(folder));
    QVERIFY(!E2e::visible(*window, QStringLiteral("#progress")));

    if (reply == QLatin1String("no")) {
        QVERIFY(clickAt(QStringLiteral("#btn-confirm-no")));
        QTest::qWait(500);
        QVERIFY(!E2e::visible(*window, QStringLiteral("#progress")));
        QVERIFY(!QFileInfo::exists(folder));
        key(Qt::Key_Escape);
        return;
    }
    QVERIFY(clickAt(QStringLiteral("#btn-confirm-yes")));
    QVERIFY(waitDone(60000));
    QCOMPARE(outcome(), QStringLiteral("published"));
    const QString diff = E2e::compareFiles(expectedNow(), E2e::filesUnder(folder));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(clickAt(QStringLiteral("#btn-done-close")));
}

QUILLARY_TEST_MAIN(TestE2eHonest)
#include "tst_e2e_honest.moc"
