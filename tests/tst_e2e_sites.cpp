#include "testmain.h"

#include <QEventLoop>
#include <QMimeData>
#include <QProcess>
#include <QSettings>
#include <QTimer>

#include "e2efixture.h"
#include "testservers.h"

// Sites in the real window: the starter on first start, a site forwarded by a
// second start or dropped on the window, the FTP site manager against the real
// settings store, and closing, which saves the site with its screenshot.
class TestE2eSites : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void firstStartOpensStarter();
    void forwardedPathOpensSite();
    void droppedFileOpensSite();
    void ftpSiteManager();
    void gitHubSettingsKept();
    void closeSavesAndQuits();

private:
    // A copy of the shipped starter under another title; returns its project file.
    QString makeSite(const QString &folder, const QString &title, const QString &fileName = QStringLiteral("project.quillary"));
    QString siteTitle() { return E2e::text(*window, QStringLiteral("#site-title")); }
    QStringList ftpLocations();

    MainWindow *window = nullptr;
};

void TestE2eSites::initTestCase()
{
    window = E2e::openWindow(true);
    QVERIFY(window);
}

void TestE2eSites::cleanupTestCase()
{
    delete window;
}

QString TestE2eSites::makeSite(const QString &folder, const QString &title, const QString &fileName)
{
    if (!E2e::copyStarter(folder))
        return QString();
    const QString shipped = folder + QStringLiteral("/project.quillary");
    QJsonObject project = QJsonDocument::fromJson(E2e::readFile(shipped)).object();
    QJsonObject settings = project.value(QStringLiteral("settings")).toObject();
    settings.insert(QStringLiteral("title"), title);
    project.insert(QStringLiteral("settings"), settings);
    QFile::remove(shipped);
    QFile file(folder + QLatin1Char('/') + fileName);
    const QByteArray bytes = QJsonDocument(project).toJson();
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return file.fileName();
}

QStringList TestE2eSites::ftpLocations()
{
    return window->bridge()->regExportData().value(QStringLiteral("ftpData")).toMap()
            .value(QStringLiteral("location")).toStringList();
}

void TestE2eSites::firstStartOpensStarter()
{
    const QString folder = E2e::starterFolder();
    QCOMPARE(siteTitle(), QStringLiteral("Harbour Studio"));
    const QMap<QString, QByteArray> shipped = E2e::filesUnder(QStringLiteral(QUILLARY_SOURCE_DIR "/web/starter"));
    const QMap<QString, QByteArray> copied = E2e::filesUnder(folder);
    for (auto it = shipped.cbegin(); it != shipped.cend(); ++it)
        QVERIFY2(copied.contains(it.key()), qPrintable(it.key()));
    QCOMPARE(copied.value(QStringLiteral("assets/images/hero.png")), shipped.value(QStringLiteral("assets/images/hero.png")));
    const QJsonArray recents = QJsonDocument::fromJson(
            E2e::readFile(E2e::dataFolder() + QStringLiteral("/recents.list"))).array();
    QVERIFY(!recents.isEmpty());
    QCOMPARE(QUrl(recents.first().toObject().value(QStringLiteral("path")).toString()).toLocalFile(),
             folder + QStringLiteral("/project.quillary"));
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.querySelectorAll('#page-list li').length")).toInt(), 3);
}

void TestE2eSites::forwardedPathOpensSite()
{
    const QString file = makeSite(TestEnv::root() + QStringLiteral("/Other sites/Lighthouse Caf\u00e9"),
                                  QStringLiteral("Lighthouse Caf\u00e9"));
    QVERIFY(!file.isEmpty());
    QProcess second;
    second.start(QStringLiteral(QUILLARY_BINARY_DIR "/quillary"), { file });
    QVERIFY(second.waitForStarted(5000));
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 0);
    QVERIFY2(E2e::waitFor(*window, QStringLiteral("document.getElementById('site-title').textContent === 'Lighthouse Caf\\u00e9'"),
                          10000), qPrintable(siteTitle()));
    QCOMPARE(E2e::text(*window, QStringLiteral("#recent-list li .name")), QStringLiteral("Lighthouse Caf\u00e9"));
}

void TestE2eSites::droppedFileOpensSite()
{
    const QString file = makeSite(TestEnv::root() + QStringLiteral("/dropped"), QStringLiteral("Dropped Site"));
    const QString old = makeSite(TestEnv::root() + QStringLiteral("/older"), QStringLiteral("Older Site"),
                                 QStringLiteral("project.json"));
    QVERIFY(!file.isEmpty() && !old.isEmpty());

    // An image and a web link next to the project: only the project is opened.
    auto drop = [this](const QList<QUrl> &urls) {
        QMimeData mime;
        mime.setUrls(urls);
        // As a real drag: it enters the window before it drops.
        QDragEnterEvent enter(QPoint(window->width() / 2, window->height() / 2), Qt::CopyAction, &mime,
                              Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &enter);
        QDropEvent event(QPointF(window->width() / 2, window->height() / 2), Qt::CopyAction, &mime,
                         Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(window, &event);
    };
    // An edit of the site being left is not lost.
    const QString left = QUrl(E2e::eval(*window, QStringLiteral("qlrApp.currentSite().file")).toString()).toLocalFile();
    E2e::setField(*window, QStringLiteral("#page-title"), QStringLiteral("Edited before the drop"));
    drop({ QUrl::fromLocalFile(TestEnv::root() + QStringLiteral("/dropped/assets/images/hero.png")),
           QUrl(QStringLiteral("https://example.invalid/x.quillary")), QUrl::fromLocalFile(file) });
    QVERIFY2(E2e::waitFor(*window, QStringLiteral("document.getElementById('site-title').textContent === 'Dropped Site'"),
                          10000), qPrintable(siteTitle()));
    QVERIFY(E2e::readFile(left).contains("Edited before the drop"));

    // An older project file (.json) opens too, and is saved as the current format.
    drop({ QUrl::fromLocalFile(old) });
    QVERIFY(E2e::waitFor(*window, QStringLiteral("document.getElementById('site-title').textContent === 'Older Site'"), 10000));
    E2e::click(*window, QStringLiteral("#btn-save"));
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(TestEnv::root() + QStringLiteral("/older/project.quillary")), 10000);
    // One entry in the recent sites for that folder, under either file name.
    QCOMPARE(E2e::eval(*window, QStringLiteral(
            "Array.prototype.filter.call(document.querySelectorAll('#recent-list .name'),"
            " function (n) { return n.textContent === 'Older Site'; }).length")).toInt(), 1);

    // A file that is not a project leaves the open site as it is.
    drop({ QUrl::fromLocalFile(TestEnv::root() + QStringLiteral("/dropped/theme/css/theme.css")) });
    QTest::qWait(300);
    QCOMPARE(siteTitle(), QStringLiteral("Older Site"));
}

void TestE2eSites::ftpSiteManager()
{
    TestServer server(TestServer::PyFtp);
    QVERIFY2(server.start(), qPrintable(server.errorString()));
    const QString port = QString::number(server.port());

    E2e::click(*window, QStringLiteral("#btn-publish"));
    E2e::click(*window, QStringLiteral("#tab-ftp"));
    QVERIFY(E2e::visible(*window, QStringLiteral("#ftp-list")));
    const int before = ftpLocations().size();
    E2e::click(*window, QStringLiteral("#btn-ftp-add"));
    QCOMPARE(ftpLocations().size(), before + 1);
    QCOMPARE(ftpLocations().first(), QStringLiteral("ftp://:@:21"));
    // A second "Add New Site" while the blank one is unused adds nothing.
    E2e::click(*window, QStringLiteral("#btn-ftp-add"));
    QCOMPARE(ftpLocations().size(), before + 1);

    E2e::setField(*window, QStringLiteral("#ftp-host"), server.host());
    E2e::setField(*window, QStringLiteral("#ftp-port"), port);
    E2e::setField(*window, QStringLiteral("#ftp-user"), server.user());
    E2e::setField(*window, QStringLiteral("#ftp-pass"), server.password());
    E2e::setField(*window, QStringLiteral("#ftp-folder"), QStringLiteral("www"));
    const QString stored = QStringLiteral("ftp://%1:%2@%3:%4").arg(server.user(), server.password(), server.host(), port);
    QCOMPARE(ftpLocations().first(), stored);
    QCOMPARE(window->bridge()->getSettings(QStringLiteral("publishFtpPath")).toString(), QStringLiteral("www"));
    // The store keeps the credentials encrypted; the list shows no password.
    {
        QSettings settings;
        settings.sync();
        QVERIFY(!E2e::readFile(settings.fileName()).contains(server.password().toUtf8()));
    }
    QCOMPARE(E2e::text(*window, QStringLiteral("#ftp-list li.current")),
             QStringLiteral("ftp://%1@%2:%3").arg(server.user(), server.host(), port));

    E2e::click(*window, QStringLiteral("#btn-ftp-test"));
    QVERIFY2(E2e::waitFor(*window, QStringLiteral("document.getElementById('ftp-test-result').textContent !== 'Testing\\u2026'"),
                          30000), "the connection test did not answer");
    QCOMPARE(E2e::text(*window, QStringLiteral("#ftp-test-result")), QStringLiteral("Connection succeeded"));
    E2e::screenshot(*window, QStringLiteral("02-ftp-site-manager"));
    E2e::setField(*window, QStringLiteral("#ftp-pass"), QStringLiteral("wrong"));
    E2e::click(*window, QStringLiteral("#btn-ftp-test"));
    QVERIFY(E2e::waitFor(*window, QStringLiteral("document.getElementById('ftp-test-result').textContent !== 'Testing\\u2026'"),
                         30000));
    QCOMPARE(E2e::text(*window, QStringLiteral("#ftp-test-result")), QStringLiteral("Connection failed"));
    E2e::setField(*window, QStringLiteral("#ftp-pass"), server.password());

    // Cancel takes back what the dialog added.
    E2e::click(*window, QStringLiteral("#btn-publish-cancel"));
    QCOMPARE(ftpLocations().size(), before);
    QVERIFY(!ftpLocations().contains(stored));

    // Sites stored twice are listed once; an edit still reaches the right stored entry.
    window->bridge()->regAddFtp({ { QStringLiteral("location"), stored } });
    window->bridge()->regAddFtp({ { QStringLiteral("location"), QStringLiteral("ftp://u:p@dup.invalid:21") } });
    window->bridge()->regAddFtp({ { QStringLiteral("location"), QStringLiteral("ftp://u:p@dup.invalid:21") } });
    window->bridge()->regAddFtp({ { QStringLiteral("location"), QStringLiteral("ftp://v:q@other.invalid:2121") } });
    E2e::click(*window, QStringLiteral("#btn-publish"));
    E2e::click(*window, QStringLiteral("#tab-ftp"));
    QStringList locations = ftpLocations();
    const int storedAt = locations.indexOf(stored);
    QVERIFY(storedAt >= 3);
    const QStringList shown = E2e::texts(*window, QStringLiteral("#ftp-list li"));
    QCOMPARE(shown.count(QStringLiteral("ftp://u@dup.invalid:21")), 1);
    const int listAt = shown.indexOf(QStringLiteral("ftp://%1@%2:%3").arg(server.user(), server.host(), port));
    QVERIFY(listAt >= 0 && listAt < storedAt);
    E2e::click(*window, QStringLiteral("#ftp-list li:nth-child(%1)").arg(listAt + 1));
    E2e::setField(*window, QStringLiteral("#ftp-host"), QStringLiteral("localhost"));
    locations = ftpLocations();
    QCOMPARE(locations.value(storedAt), QStringLiteral("ftp://%1:%2@localhost:%3").arg(server.user(), server.password(), port));
    QCOMPARE(locations.count(QStringLiteral("ftp://u:p@dup.invalid:21")), 2);

    // Remove asks first; "Keep" leaves the list alone, "Remove" takes exactly that entry out.
    const int count = locations.size();
    E2e::click(*window, QStringLiteral("#btn-ftp-remove"));
    QVERIFY(E2e::visible(*window, QStringLiteral("#confirm")));
    E2e::click(*window, QStringLiteral("#btn-confirm-no"));
    QCOMPARE(ftpLocations().size(), count);
    E2e::click(*window, QStringLiteral("#btn-ftp-remove"));
    E2e::click(*window, QStringLiteral("#btn-confirm-yes"));
    locations = ftpLocations();
    QCOMPARE(locations.size(), count - 1);
    QVERIFY(!locations.join(QLatin1Char(' ')).contains(QStringLiteral("localhost")));
    QCOMPARE(locations.count(QStringLiteral("ftp://u:p@dup.invalid:21")), 2);
    // A removal was confirmed on its own: Cancel does not bring the site back.
    E2e::click(*window, QStringLiteral("#btn-publish-cancel"));
    QCOMPARE(ftpLocations(), locations);
}

void TestE2eSites::gitHubSettingsKept()
{
    E2e::click(*window, QStringLiteral("#btn-publish"));
    E2e::click(*window, QStringLiteral("#tab-github"));
    QVERIFY(E2e::visible(*window, QStringLiteral("#gh-token")));
    QVERIFY(E2e::eval(*window, QStringLiteral("document.getElementById('btn-publish-go').disabled")).toBool());
    E2e::setField(*window, QStringLiteral("#gh-account"), QStringLiteral("ann"));
    E2e::setField(*window, QStringLiteral("#gh-token"), QStringLiteral("ghp_secret-token"));
    E2e::setField(*window, QStringLiteral("#gh-repo"), QStringLiteral("ann/site"));
    Bridge *bridge = window->bridge();
    const QString stored = bridge->getSettings(QStringLiteral("gitHub/ann")).toString();
    QVERIFY(!stored.isEmpty() && !stored.contains(QStringLiteral("secret")));
    QCOMPARE(bridge->decode(stored), QStringLiteral("ghp_secret-token"));
    QCOMPARE(bridge->getSettings(QStringLiteral("gitHubLast")).toString(), QStringLiteral("ann"));
    QCOMPARE(bridge->getSettings(QStringLiteral("gitHubLastPath")).toString(), QStringLiteral("ann/site"));
    E2e::click(*window, QStringLiteral("#btn-publish-cancel"));
    // The next time the dialog opens, they are back.
    E2e::eval(*window, QStringLiteral("['gh-account','gh-token','gh-repo'].forEach(function (id) {"
                                      " document.getElementById(id).value = ''; })"));
    E2e::click(*window, QStringLiteral("#btn-publish"));
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.getElementById('gh-token').value")).toString(),
             QStringLiteral("ghp_secret-token"));
    QCOMPARE(E2e::eval(*window, QStringLiteral("document.getElementById('gh-repo').value")).toString(),
             QStringLiteral("ann/site"));
    E2e::click(*window, QStringLiteral("#tab-local"));
    E2e::click(*window, QStringLiteral("#btn-publish-cancel"));
}

void TestE2eSites::closeSavesAndQuits()
{
    const QString folder = QUrl(E2e::eval(*window, QStringLiteral("qlrApp.currentSite().folder")).toString()).toLocalFile();
    QVERIFY(QDir(folder).exists());
    QFile::remove(folder + QStringLiteral("/screenshot.png"));
    E2e::setField(*window, QStringLiteral("#page-title"), QStringLiteral("Welcome aboard"));

    QEventLoop loop;
    QTimer::singleShot(30000, &loop, [&loop]() { loop.exit(99); });
    QTimer::singleShot(0, window, [this]() { window->close(); });
    QCOMPARE(loop.exec(), 0);

    const QJsonObject project = QJsonDocument::fromJson(E2e::readFile(folder + QStringLiteral("/project.quillary"))).object();
    QCOMPARE(project.value(QStringLiteral("pages")).toArray().first().toObject().value(QStringLiteral("title")).toString(),
             QStringLiteral("Welcome aboard"));
    const QImage shot(folder + QStringLiteral("/screenshot.png"));
    QVERIFY(!shot.isNull());
    QVERIFY(shot.width() > 100 && shot.height() > 100);
}

QUILLARY_TEST_MAIN(TestE2eSites)
#include "tst_e2e_sites.moc"
