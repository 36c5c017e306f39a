#include "testmain.h"

#include <QTemporaryDir>

#include "e2einput.h"

using namespace E2e;

// A destination is a server entry and a folder, per site, as a user meets it in
// the publish dialog with real clicks and keys: each site sees only its own
// folders, another site's folder (a copied site folder too) asks first, and a
// changes-only run into a server folder emptied behind its back sends everything.
class TestE2eDestinations : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();
    void cleanup();
    void eachSiteHasItsOwnServerFolders();
    void copiedSiteFolderIsAnotherSite();
    void changesOnlyIntoEmptiedServerFolderSendsAll();

private:
    bool openDialog();
    bool choose(const TestServer &server);
    bool publish(bool changesOnly);
    QString folderShown() { return value(*window, QStringLiteral("#ftp-folder")); }
    QString currentEntry()
    {
        return eval(*window, QStringLiteral("(function(){ var li = document.querySelector('#ftp-list li.current');"
                                            " return li ? li.textContent : ''; })()")).toString();
    }

    MainWindow *window = nullptr;
    QTemporaryDir scratch;
    TestServer one { TestServer::PyFtp };
    TestServer two { TestServer::PyFtp };
    QString siteA;
    QString siteB;
};

void TestE2eDestinations::initTestCase()
{
    QVERIFY(scratch.isValid());
    QVERIFY2(one.start(), qPrintable(one.errorString()));
    QVERIFY2(two.start(), qPrintable(two.errorString()));
    window = openActiveWindow();
    QVERIFY(window);
    siteA = makeSite(scratch.filePath(QStringLiteral("site-a")), QStringLiteral("Alpha Bakery"));
    siteB = makeSite(scratch.filePath(QStringLiteral("site-b")), QStringLiteral("Beta Books"));
    QVERIFY(!siteA.isEmpty() && !siteB.isEmpty());
}

void TestE2eDestinations::cleanupTestCase()
{
    delete window;
}

void TestE2eDestinations::init()
{
    QVERIFY(restoreSize(*window));
}

// A failed step must not leave a dialog over the next test's controls.
void TestE2eDestinations::cleanup()
{
    closeDialogs(*window);
}

bool TestE2eDestinations::openDialog()
{
    return clickAt(*window, QStringLiteral("#btn-publish")) && visible(*window, QStringLiteral("#publish-dialog"))
           && clickAt(*window, QStringLiteral("#tab-ftp"));
}

// A click on the server's entry in the list.
bool TestE2eDestinations::choose(const TestServer &server)
{
    const QString entry = ftpEntry(*window, shownServer(server));
    return !entry.isEmpty() && clickAt(*window, entry) && currentEntry() == shownServer(server);
}

// Publish, answered "Publish here anyway" if asked, up to the run's summary.
bool TestE2eDestinations::publish(bool changesOnly)
{
    const bool checked = eval(*window, QStringLiteral("document.getElementById('opt-changes').checked")).toBool();
    if (checked != changesOnly && !clickAt(*window, QStringLiteral("#opt-changes")))
        return false;
    return clickAt(*window, QStringLiteral("#btn-publish-go")) && waitDone(*window);
}

void TestE2eDestinations::eachSiteHasItsOwnServerFolders()
{
    // Site A publishes to two servers, each into a folder of its own.
    QVERIFY(openSite(*window, siteA));
    QVERIFY(openDialog());
    QVERIFY(addServer(*window, one, one.password(), QStringLiteral("alpha-one")));
    QVERIFY(publish(false));
    QCOMPARE(outcome(*window), QStringLiteral("published"));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-done-close")));
    QVERIFY(openDialog());
    // The server used last is chosen again, with this site's folder there.
    QCOMPARE(currentEntry(), shownServer(one));
    QCOMPARE(folderShown(), QStringLiteral("alpha-one"));
    QVERIFY(addServer(*window, two, two.password(), QStringLiteral("alpha-two")));
    QVERIFY(publish(false));
    QCOMPARE(outcome(*window), QStringLiteral("published"));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-done-close")));
    QVERIFY(readFile(one.rootFolder() + QStringLiteral("/alpha-one/index.html")).contains("Alpha Bakery"));
    QVERIFY(readFile(two.rootFolder() + QStringLiteral("/alpha-two/index.html")).contains("Alpha Bakery"));
    // The host keeps one folder for all, the last typed; the page does not show it to others.
    QCOMPARE(window->bridge()->getSettings(QStringLiteral("publishFtpPath")).toString(), QStringLiteral("alpha-two"));

    // Site B, never published: no server chosen, no folder, nothing one click from A's folder.
    QVERIFY(openSite(*window, siteB));
    QVERIFY(openDialog());
    QCOMPARE(currentEntry(), QString());
    QCOMPARE(folderShown(), QString());
    QVERIFY(eval(*window, QStringLiteral("document.getElementById('ftp-folder').disabled")).toBool());
    QVERIFY(text(*window, QStringLiteral("#publish-dest-note")).contains(QStringLiteral("not been published yet")));
    shot(*window, QStringLiteral("destinations-01-new-site-chooses-nothing"));
    // Publish without a server says what to do and sends nothing.
    QVERIFY(clickAt(*window, QStringLiteral("#btn-publish-go")));
    QVERIFY(visible(*window, QStringLiteral("#publish-problem")));
    QVERIFY(!visible(*window, QStringLiteral("#progress")));
    // Choosing A's servers shows B's folder there: none.
    QVERIFY(choose(one));
    QCOMPARE(folderShown(), QString());
    QVERIFY(choose(two));
    QCOMPARE(folderShown(), QString());
    shot(*window, QStringLiteral("destinations-02-other-site-folder-not-shown"));

    // B typed into A's folder on server one: asked first, as for a local folder.
    QVERIFY(choose(one));
    QVERIFY(typeInto(*window, QStringLiteral("#ftp-folder"), QStringLiteral("alpha-one/")));
    const QByteArray indexOfA = readFile(one.rootFolder() + QStringLiteral("/alpha-one/index.html"));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-publish-go")));
    QVERIFY(questionShown(*window, 20000));
    const QString question = text(*window, QStringLiteral("#confirm-text"));
    QVERIFY2(question.contains(QStringLiteral("\"Alpha Bakery\"")), qPrintable(question));
    QVERIFY2(question.contains(shownServer(one) + QStringLiteral("/alpha-one")), qPrintable(question));
    shot(*window, QStringLiteral("destinations-03-other-site-server-folder-asks"));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-confirm-no")));
    QTest::qWait(200);
    QVERIFY(!visible(*window, QStringLiteral("#progress")));
    QCOMPARE(readFile(one.rootFolder() + QStringLiteral("/alpha-one/index.html")), indexOfA);

    // B's own folder on server one.
    QVERIFY(typeInto(*window, QStringLiteral("#ftp-folder"), QStringLiteral("beta-one")));
    QVERIFY(publish(false));
    QCOMPARE(outcome(*window), QStringLiteral("published"));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-done-close")));
    QVERIFY(readFile(one.rootFolder() + QStringLiteral("/beta-one/index.html")).contains("Beta Books"));
    QCOMPARE(readFile(one.rootFolder() + QStringLiteral("/alpha-one/index.html")), indexOfA);

    // Switching entries shows each one's folder for the open site, and a folder typed
    // but not published stays with its entry while the dialog is open.
    QVERIFY(openSite(*window, siteA));
    QVERIFY(openDialog());
    QCOMPARE(currentEntry(), shownServer(two));
    QCOMPARE(folderShown(), QStringLiteral("alpha-two"));
    QVERIFY(text(*window, QStringLiteral("#publish-dest-note")).contains(shownServer(two) + QStringLiteral("/alpha-two")));
    QVERIFY(choose(one));
    QCOMPARE(folderShown(), QStringLiteral("alpha-one"));
    shot(*window, QStringLiteral("destinations-04-each-server-its-folder"));
    QVERIFY(choose(two));
    QCOMPARE(folderShown(), QStringLiteral("alpha-two"));
    QVERIFY(typeInto(*window, QStringLiteral("#ftp-folder"), QStringLiteral("alpha-draft")));
    QVERIFY(choose(one));
    QCOMPARE(folderShown(), QStringLiteral("alpha-one"));
    QVERIFY(choose(two));
    QCOMPARE(folderShown(), QStringLiteral("alpha-draft"));
    key(*window, Qt::Key_Escape);
    QVERIFY(!visible(*window, QStringLiteral("#publish-dialog")));
    // Not published, so not kept.
    QVERIFY(openDialog());
    QCOMPARE(folderShown(), QStringLiteral("alpha-two"));
    key(*window, Qt::Key_Escape);

    QVERIFY(openSite(*window, siteB));
    QVERIFY(openDialog());
    QCOMPARE(currentEntry(), shownServer(one));
    QCOMPARE(folderShown(), QStringLiteral("beta-one"));
    QVERIFY(choose(two));
    QCOMPARE(folderShown(), QString());
    shot(*window, QStringLiteral("destinations-05-second-site-own-folders"));
    key(*window, Qt::Key_Escape);
}

void TestE2eDestinations::copiedSiteFolderIsAnotherSite()
{
    // A copy of site A's folder, made after A published: the same identity in its
    // project file, A's record of changes too.
    const QString copyFolder = scratch.filePath(QStringLiteral("site-a-copy"));
    QVERIFY(QDir().mkpath(copyFolder));
    const QMap<QString, QByteArray> files = filesUnder(QFileInfo(siteA).path());
    QVERIFY(files.contains(QStringLiteral("publish-hashes.json")));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = copyFolder + QLatin1Char('/') + it.key();
        QVERIFY(QDir().mkpath(QFileInfo(path).path()));
        QFile out(path);
        QVERIFY(out.open(QIODevice::WriteOnly) && out.write(it.value()) == it.value().size());
    }
    const QString copy = copyFolder + QStringLiteral("/project.quillary");
    QVERIFY(openSite(*window, copy));
    QCOMPARE(eval(*window, QStringLiteral("qlrApp.siteId(qlrApp.currentSite())")).toString(),
             QJsonDocument::fromJson(files.value(QStringLiteral("project.quillary"))).object()
                     .value(QStringLiteral("settings")).toObject().value(QStringLiteral("siteId")).toString());

    // Into A's server folder: the project file there carries the same identity, but
    // A's folder published it, so the page asks and names that folder.
    QVERIFY(openDialog());
    QCOMPARE(currentEntry(), QString());
    QVERIFY(choose(one));
    QCOMPARE(folderShown(), QString());
    QVERIFY(typeInto(*window, QStringLiteral("#ftp-folder"), QStringLiteral("alpha-one")));
    const QMap<QString, QByteArray> before = filesUnder(one.rootFolder() + QStringLiteral("/alpha-one"));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-publish-go")));
    QVERIFY(questionShown(*window, 20000));
    const QString question = text(*window, QStringLiteral("#confirm-text"));
    QVERIFY2(question.contains(QFileInfo(siteA).path()), qPrintable(question));
    QVERIFY2(question.contains(copyFolder), qPrintable(question));
    shot(*window, QStringLiteral("destinations-06-copied-site-asks"));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-confirm-no")));
    QTest::qWait(200);
    QVERIFY(!visible(*window, QStringLiteral("#progress")));
    QCOMPARE(filesUnder(one.rootFolder() + QStringLiteral("/alpha-one")), before);

    // Said yes to, with changes-only: A's record in the copy is not the copy's, so
    // every file goes.
    if (!eval(*window, QStringLiteral("document.getElementById('opt-changes').checked")).toBool())
        QVERIFY(clickAt(*window, QStringLiteral("#opt-changes")));
    QVERIFY(eval(*window, QStringLiteral("document.getElementById('opt-changes').checked")).toBool());
    QVERIFY(clickAt(*window, QStringLiteral("#btn-publish-go")));
    QVERIFY(questionShown(*window, 20000));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-confirm-yes")));
    QVERIFY(waitDone(*window));
    QCOMPARE(outcome(*window), QStringLiteral("published"));
    const QMap<QString, QByteArray> expected = expectedUpload(*window);
    QCOMPARE(eval(*window, QStringLiteral("qlrApp.lastPublish.sentFiles.length")).toInt(), expected.size());
    const QString diff = compareFiles(expected, filesUnder(one.rootFolder() + QStringLiteral("/alpha-one")));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-done-close")));

    // Now A, going back to its own folder, is asked in turn: the copy wrote there last.
    QVERIFY(openSite(*window, siteA));
    QVERIFY(openDialog());
    QVERIFY(choose(one));
    QCOMPARE(folderShown(), QStringLiteral("alpha-one"));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-publish-go")));
    QVERIFY(questionShown(*window, 20000));
    QVERIFY2(text(*window, QStringLiteral("#confirm-text")).contains(copyFolder),
             qPrintable(text(*window, QStringLiteral("#confirm-text"))));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-confirm-no")));
    key(*window, Qt::Key_Escape);
}

void TestE2eDestinations::changesOnlyIntoEmptiedServerFolderSendsAll()
{
    QVERIFY(openSite(*window, siteA));
    QVERIFY(openDialog());
    QVERIFY(choose(two));
    QCOMPARE(folderShown(), QStringLiteral("alpha-two"));
    // With its record intact, a changes-only run sends only the project file.
    QVERIFY(publish(true));
    QCOMPARE(outcome(*window), QStringLiteral("published"));
    QCOMPARE(eval(*window, QStringLiteral("qlrApp.lastPublish.sentFiles")).toStringList(),
             QStringList { QStringLiteral("project.quillary") });
    QVERIFY(clickAt(*window, QStringLiteral("#btn-done-close")));

    // The folder on the server emptied behind the page's back (its files are the server's).
    const QString folder = two.rootFolder() + QStringLiteral("/alpha-two");
    {
        TestEnv::RootScope root;
        QVERIFY(root.ok());
        QVERIFY(QDir(folder).removeRecursively());
        QVERIFY(QDir().mkpath(folder));
    }
    QVERIFY(filesUnder(folder).isEmpty());
    QVERIFY(openDialog());
    QCOMPARE(currentEntry(), shownServer(two));
    QVERIFY(publish(true));
    shot(*window, QStringLiteral("destinations-07-changes-only-emptied-server-folder"));
    QCOMPARE(outcome(*window), QStringLiteral("published"));
    const QMap<QString, QByteArray> expected = expectedUpload(*window);
    QCOMPARE(eval(*window, QStringLiteral("qlrApp.lastPublish.sentFiles.length")).toInt(), expected.size());
    const QString diff = compareFiles(expected, filesUnder(folder));
    QVERIFY2(diff.isEmpty(), qPrintable(diff));
    QVERIFY(text(*window, QStringLiteral("#progress-done-more")).contains(QStringLiteral("%1 files sent").arg(expected.size())));
    QVERIFY(clickAt(*window, QStringLiteral("#btn-done-close")));
}

QUILLARY_TEST_MAIN(TestE2eDestinations)
#include "tst_e2e_destinations.moc"
