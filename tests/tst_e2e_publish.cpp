#include "testmain.h"

#include <QTemporaryDir>

#include "e2efixture.h"
#include "testservers.h"

// Publishing the starter site from the page, as a user does it: the publish
// dialog, the FTP site manager, the progress display; checked on the destination.
class TestE2ePublish : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void publishToLocalFolder();
    void publishToServer_data();
    void publishToServer();
    void failureAsksTheUser();

private:
    bool openDialog(const QString &tab);
    bool addFtpSite(const TestServer &server, const QString &folder);
    bool publishAndWait(bool changesOnly);
    void editAboutPage(const QString &marker);
    QStringList sent();

    MainWindow *window = nullptr;
    QTemporaryDir scratch;
};

void TestE2ePublish::initTestCase()
{
    QVERIFY(scratch.isValid());
    window = E2e::openWindow(false);
    QVERIFY(window);
}

void TestE2ePublish::cleanupTestCase()
{
    delete window;
}

bool TestE2ePublish::openDialog(const QString &tab)
{
    E2e::click(*window, QStringLiteral("#btn-publish"));
    E2e::click(*window, tab);
    return E2e::visible(*window, QStringLiteral("#publish-dialog"));
}

bool TestE2ePublish::addFtpSite(const TestServer &server, const QString &folder)
{
    E2e::click(*window, QStringLiteral("#btn-ftp-add"));
    if (!E2e::waitFor(*window, QStringLiteral("!document.getElementById('ftp-host').disabled")))
        return false;
    E2e::setField(*window, QStringLiteral("#ftp-scheme"), server.scheme());
    E2e::setField(*window, QStringLiteral("#ftp-host"), server.host());
    E2e::setField(*window, QStringLiteral("#ftp-port"), QString::number(server.port()));
    E2e::setField(*window, QStringLiteral("#ftp-user"), server.user());
    E2e::setField(*window, QStringLiteral("#ftp-pass"), server.password());
    E2e::setField(*window, QStringLiteral("#ftp-folder"), folder);
    return true;
}

// Presses Publish and waits for the run to end: the success or error summary.
bool TestE2ePublish::publishAndWait(bool changesOnly)
{
    E2e::eval(*window, QStringLiteral("document.getElementById('opt-changes').checked = %1")
                               .arg(changesOnly ? "true" : "false"));
    E2e::click(*window, QStringLiteral("#btn-publish-go"));
    // A server folder is looked into before the run starts: the summary of this run,
    // not the one the closed display still holds.
    return E2e::waitFor(*window, QStringLiteral("!document.getElementById('progress').hidden"
                                                " && !document.getElementById('progress-done').hidden"), 120000);
}

void TestE2ePublish::editAboutPage(const QString &marker)
{
    E2e::click(*window, QStringLiteral("#page-list li:nth-child(2)"));
    QCOMPARE(E2e::text(*window, QStringLiteral("#page-file")), QStringLiteral("about.html"));
    E2e::click(*window, QStringLiteral("#btn-edit-html"));
    QVERIFY(E2e::visible(*window, QStringLiteral("#page-html")));
    const QString html = E2e::eval(*window, QStringLiteral("document.getElementById('page-html').value")).toString();
    E2e::setField(*window, QStringLiteral("#page-html"), html + QStringLiteral("<p>") + marker + QStringLiteral("</p>\n"));
    E2e::click(*window, QStringLiteral("#btn-apply-html"));
    E2e::click(*window, QStringLiteral("#btn-edit-html"));
}

QStringList TestE2ePublish::sent()
{
    return E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.sent")).toStringList();
}

void TestE2ePublish::publishToLocalFolder()
{
    const QString out = scratch.filePath(QStringLiteral("published site"));
    QVERIFY(openDialog(QStringLiteral("#tab-local")));
    E2e::setField(*window, QStringLiteral("#local-folder"), out);
    E2e::screenshot(*window, QStringLiteral("02-publish-dialog-local"));
    QVERIFY(publishAndWait(false));
    E2e::screenshot(*window, QStringLiteral("05-success"));
    const QString outUrl = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.dest")).toString();
    QCOMPARE(QUrl(outUrl).toLocalFile(), out);
    QCOMPARE(E2e::text(*window, QStringLiteral("#progress-done-text")),
             QStringLiteral("The site published successfully to ") + out);

    const QMap<QString, QByteArray> expected = E2e::expectedUpload(*window);
    const QString diff = E2e::compareFiles(expected, E2e::filesUnder(out));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    // The order a browser needs: images before the page that shows them, the project file last.
    const QStringList order = sent();
    QVERIFY(order.indexOf(QStringLiteral("assets/images/hero.png")) < order.indexOf(QStringLiteral("index.html")));
    QCOMPARE(order.last(), QStringLiteral("project.quillary"));
    // Independent of the page's own list: images as shipped, the joined script, the page.
    const QString starter = QStringLiteral(QUILLARY_SOURCE_DIR "/web/starter/");
    QCOMPARE(expected.value(QStringLiteral("assets/images/hero.png")),
             E2e::readFile(starter + QStringLiteral("assets/images/hero.png")));
    QCOMPARE(expected.value(QStringLiteral("assets/quillary/js/site.js")),
             E2e::readFile(starter + QStringLiteral("plugins/navbar/js/site.js"))
                     + E2e::readFile(starter + QStringLiteral("theme/js/site.js")));
    QVERIFY(expected.value(QStringLiteral("about.html")).contains("<h1>About us</h1>"));
    QVERIFY(expected.value(QStringLiteral("assets/quillary/css/qlr-additional.css")).contains(".lead"));
    QVERIFY(expected.contains(QStringLiteral("contact.html")));
    // The folder is remembered for the next time.
    QCOMPARE(window->bridge()->getSettings(QStringLiteral("RecentPublish/0")).toString(), outUrl);
    E2e::click(*window, QStringLiteral("#btn-done-close"));

    // Changes only: after editing one page, that page and the project file go out.
    QVERIFY(QFile::remove(out + QStringLiteral("/contact.html")));
    editAboutPage(QStringLiteral("Changed for the local test"));
    if (QTest::currentTestFailed())
        return;
    QVERIFY(openDialog(QStringLiteral("#tab-local")));
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.getElementById('local-folder').value")).toString(), out);
    QVERIFY(publishAndWait(true));
    QCOMPARE(sent(), (QStringList { "about.html", "project.quillary" }));
    QVERIFY(E2e::readFile(out + QStringLiteral("/about.html")).contains("Changed for the local test"));
    QVERIFY2(!QFile::exists(out + QStringLiteral("/contact.html")), "an unchanged page was sent again");
    QMap<QString, QByteArray> now = E2e::expectedUpload(*window);
    now.remove(QStringLiteral("contact.html"));
    const QString diff2 = E2e::compareFiles(now, E2e::filesUnder(out));
    QVERIFY2(diff2.isEmpty(), qPrintable(diff2));
    E2e::click(*window, QStringLiteral("#btn-done-close"));

    // Recent folders: the newest first, each once, later keys blanked.
    const QString other = scratch.filePath(QStringLiteral("second"));
    QVERIFY(openDialog(QStringLiteral("#tab-local")));
    E2e::setField(*window, QStringLiteral("#local-folder"), other);
    QVERIFY(publishAndWait(false));
    E2e::click(*window, QStringLiteral("#btn-done-close"));
    const QString otherUrl = E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.dest")).toString();
    Bridge *bridge = window->bridge();
    QCOMPARE(bridge->getSettings(QStringLiteral("RecentPublish/0")).toString(), otherUrl);
    QCOMPARE(bridge->getSettings(QStringLiteral("RecentPublish/1")).toString(), outUrl);
    QVERIFY(openDialog(QStringLiteral("#tab-local")));
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.querySelectorAll('#recent-publish li').length")).toInt(), 2);
    E2e::click(*window, QStringLiteral("#recent-publish li:nth-child(2)"));
    QVERIFY(publishAndWait(true));
    E2e::click(*window, QStringLiteral("#btn-done-close"));
    QCOMPARE(bridge->getSettings(QStringLiteral("RecentPublish/0")).toString(), outUrl);
    QCOMPARE(bridge->getSettings(QStringLiteral("RecentPublish/1")).toString(), otherUrl);
    QVERIFY(bridge->getSettings(QStringLiteral("RecentPublish/2")).toString().isEmpty());
}

void TestE2ePublish::publishToServer_data()
{
    QTest::addColumn<int>("kind");
    QTest::newRow("ftp pyftpdlib") << int(TestServer::PyFtp);
    QTest::newRow("ftp vsftpd") << int(TestServer::Vsftpd);
    QTest::newRow("ftps explicit") << int(TestServer::VsftpdExplicit);
    QTest::newRow("ftps implicit") << int(TestServer::PyFtpsImplicit);
    QTest::newRow("sftp") << int(TestServer::Sftp);
}

void TestE2ePublish::publishToServer()
{
    QFETCH(int, kind);
    TestServer server(static_cast<TestServer::Kind>(kind));
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const QString name = server.name();

    QVERIFY(openDialog(QStringLiteral("#tab-ftp")));
    QVERIFY(addFtpSite(server, QStringLiteral("site")));
    E2e::screenshot(*window, QStringLiteral("02-publish-dialog-") + name);
    // Held right after it starts, so that the display can be seen while it runs.
    E2e::eval(*window, QStringLiteral(
            "window.held = false; window.realBuildIn = Bridge.uploadBuildIn;"
            "Bridge.uploadBuildIn = function () {"
            "  var control = realBuildIn.apply(Bridge, arguments);"
            "  setTimeout(function () { Bridge.pausePublish(); held = true; }, 40);"
            "  return control; };"));
    E2e::click(*window, QStringLiteral("#btn-publish-go"));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("window.held"), 60000));
    E2e::eval(*window, QStringLiteral("Bridge.uploadBuildIn = window.realBuildIn;"));
    E2e::waitFor(*window, QStringLiteral("/^[1-9]/.test(document.getElementById('progress-count').textContent)"), 1000);
    E2e::screenshot(*window, QStringLiteral("03-progress-") + name);
    E2e::eval(*window, QStringLiteral("Bridge.resumePublish();"));
    QVERIFY2(E2e::waitFor(*window, QStringLiteral("!document.getElementById('progress-done').hidden"), 120000),
             qPrintable(E2e::text(*window, QStringLiteral("#progress-error-text")) + "\n" + server.log()));

    const QString shown = QStringLiteral("%1://%2@%3:%4/site").arg(server.scheme(), server.user(), server.host())
                                  .arg(server.port());
    const QString done = E2e::text(*window, QStringLiteral("#progress-done-text"));
    QVERIFY2(done == QStringLiteral("The site published successfully to ") + shown,
             qPrintable(done + "\n" + E2e::text(*window, QStringLiteral("#progress-failed"))));
    QVERIFY(!E2e::eval(*window, QStringLiteral("document.body.textContent")).toString().contains(server.password()));

    const QString root = server.rootFolder() + QStringLiteral("/site");
    QString diff = E2e::compareFiles(E2e::expectedUpload(*window), E2e::filesUnder(root));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    E2e::click(*window, QStringLiteral("#btn-done-close"));

    // Changes only, against this destination's own hashes.
    const QString marker = QStringLiteral("Changed for ") + name;
    editAboutPage(marker);
    if (QTest::currentTestFailed())
        return;
    QVERIFY(openDialog(QStringLiteral("#tab-ftp")));
    QVERIFY(publishAndWait(true));
    QCOMPARE(sent(), (QStringList { "about.html", "project.quillary" }));
    QVERIFY(E2e::readFile(root + QStringLiteral("/about.html")).contains(marker.toUtf8()));
    diff = E2e::compareFiles(E2e::expectedUpload(*window), E2e::filesUnder(root));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    E2e::click(*window, QStringLiteral("#btn-done-close"));
}

void TestE2ePublish::failureAsksTheUser()
{
    TestServer server(TestServer::PyFtp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(openDialog(QStringLiteral("#tab-ftp")));
    QVERIFY(addFtpSite(server, QStringLiteral("down")));
    QVERIFY(server.stop());

    // A server that cannot be reached is one failure: one error for the whole
    // run, and whatever the answer the run stops, the rest of the site unsent.
    // First the page says it could not look into the server folder, and the
    // user publishes anyway.
    const auto publishAnyway = [this]() {
        E2e::click(*window, QStringLiteral("#btn-publish-go"));
        if (!E2e::waitFor(*window, QStringLiteral("!document.getElementById('confirm').hidden"), 30000))
            return false;
        const bool asked = E2e::text(*window, QStringLiteral("#confirm-title"))
                == QStringLiteral("The server folder could not be checked");
        E2e::click(*window, QStringLiteral("#btn-confirm-yes"));
        return asked;
    };
    QVERIFY(publishAnyway());
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('progress-error').hidden"), 60000));
    E2e::screenshot(*window, QStringLiteral("04-error"));
    QVERIFY(E2e::visible(*window, QStringLiteral("#btn-err-cancel")));
    QVERIFY(E2e::visible(*window, QStringLiteral("#btn-err-ignore")));
    QVERIFY(E2e::visible(*window, QStringLiteral("#btn-err-continue")));
    QCOMPARE(E2e::text(*window, QStringLiteral("#btn-err-cancel")), QStringLiteral("Cancel"));
    QCOMPARE(E2e::text(*window, QStringLiteral("#btn-err-ignore")), QStringLiteral("Ignore Errors"));
    QCOMPARE(E2e::text(*window, QStringLiteral("#btn-err-continue")), QStringLiteral("Continue"));
    QVERIFY(!E2e::text(*window, QStringLiteral("#progress-error-text")).isEmpty());
    for (const QString &answer : { QStringLiteral("#btn-err-continue"), QStringLiteral("#btn-err-ignore") }) {
        if (answer != QLatin1String("#btn-err-continue")) {
            QVERIFY(openDialog(QStringLiteral("#tab-ftp")));
            QVERIFY(publishAnyway());
            QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('progress-error').hidden"), 60000));
        }
        E2e::click(*window, answer);
        QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('progress-done').hidden"), 60000));
        QCOMPARE(E2e::eval(*window, QStringLiteral("qlrApp.lastPublish.failures.length")).toInt(), 1);
        QVERIFY(!E2e::text(*window, QStringLiteral("#progress-done-text")).contains(QStringLiteral("successfully")));
        E2e::screenshot(*window, QStringLiteral("04-error-summary"));
        E2e::click(*window, QStringLiteral("#btn-done-close"));
    }

    // "Cancel" ends the run and says what happened: nothing was sent.
    QVERIFY(openDialog(QStringLiteral("#tab-ftp")));
    QVERIFY(publishAnyway());
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('progress-error').hidden"), 60000));
    E2e::click(*window, QStringLiteral("#btn-err-cancel"));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("Bridge._uploadInstance === false && !Bridge._fmCurrent"), 30000));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("!document.getElementById('progress-done').hidden"), 5000));
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.getElementById('progress-done').getAttribute('data-outcome')"))
                     .toString(), QStringLiteral("stopped"));
    QVERIFY(E2e::text(*window, QStringLiteral("#progress-done-text")).contains(QStringLiteral("0 files sent")));
    QVERIFY(!E2e::visible(*window, QStringLiteral("#btn-open-index")));
    E2e::click(*window, QStringLiteral("#btn-done-close"));
    QVERIFY(!E2e::visible(*window, QStringLiteral("#progress")));

    // The server is back: the same site publishes.
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    QVERIFY(openDialog(QStringLiteral("#tab-ftp")));
    QVERIFY(publishAndWait(false));
    QVERIFY(E2e::text(*window, QStringLiteral("#progress-done-text")).startsWith(
            QStringLiteral("The site published successfully to ")));
    const QString diff = E2e::compareFiles(E2e::expectedUpload(*window),
                                           E2e::filesUnder(server.rootFolder() + QStringLiteral("/down")));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    E2e::click(*window, QStringLiteral("#btn-done-close"));
}

QUILLARY_TEST_MAIN(TestE2ePublish)
#include "tst_e2e_publish.moc"
