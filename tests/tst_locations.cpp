#include "testmain.h"

#include "miscutils.h"

class TestLocations : public QObject
{
    Q_OBJECT

private slots:
    void toLocalPath_data();
    void toLocalPath();
    void toUrl_data();
    void toUrl();
    void roundTrip_data();
    void roundTrip();
};

void TestLocations::toLocalPath_data()
{
    QTest::addColumn<QString>("location");
    QTest::addColumn<QString>("path");
    QTest::newRow("relative is a resource") << "web/index.html" << ":/web/index.html";
    QTest::newRow("resource path") << ":/web/index.html" << ":/web/index.html";
    QTest::newRow("qrc") << "qrc:/oldbridge.js" << ":/oldbridge.js";
    QTest::newRow("QRC is no qrc") << "QRC:/x" << "QRC:/x";
    QTest::newRow("file drive") << "file:///D:/a%20b/c.html" << "D:/a b/c.html";
    QTest::newRow("file drive, folder") << "file:///D:/My%20Site/index.html" << "D:/My Site/index.html";
    QTest::newRow("file with host") << "file://host/share/x" << "//host/share/x";
    QTest::newRow("file unix") << "file:///home/u/a%20b" << "/home/u/a b";
    QTest::newRow("escaped # once") << "file:///home/u/site%232" << "/home/u/site#2";
    QTest::newRow("escaped % once") << "file:///home/u/a%2541" << "/home/u/a%41";
    QTest::newRow("escaped ? once") << "file:///home/u/a%3Fb" << "/home/u/a?b";
    QTest::newRow("raw # ends the path") << "file:///home/u/a#b" << "/home/u/a";
    QTest::newRow("drive slash") << "D:/Sites/one" << "D:/Sites/one";
    QTest::newRow("drive backslash") << "D:\\Sites\\one" << "D:\\Sites\\one";
    QTest::newRow("other scheme") << "ftp://host/x" << "ftp://host/x";
    QTest::newRow("unix absolute") << "/home/u/My Site/a.html" << "/home/u/My Site/a.html";
    QTest::newRow("unix absolute, escapes kept") << "/home/u/a%20b" << "/home/u/a%20b";
}

void TestLocations::toLocalPath()
{
    QFETCH(QString, location);
    QFETCH(QString, path);
    QCOMPARE(urlToLocalPath(location), path);
}

void TestLocations::toUrl_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("url");
    QTest::newRow("drive") << "D:/Sites/one" << "file:///D:/Sites/one";
    QTest::newRow("drive backslash, umlaut") << QString::fromUtf8("D:\\My Site\\ä.html")
                                             << "file:///D:/My%20Site/%C3%A4.html";
    QTest::newRow("empty") << "" << "file:";
    QTest::newRow("share") << "//server/share/a b" << "file://server/share/a%20b";
    QTest::newRow("unix") << "/home/u/a b#?%.html" << "file:///home/u/a%20b%23%3F%25.html";
    QTest::newRow("unix backslash is a name") << "/home/u/a\\b" << "file:///home/u/a%5Cb";
}

void TestLocations::toUrl()
{
    QFETCH(QString, path);
    QFETCH(QString, url);
    QCOMPARE(localPathToUrl(path), url);
}

void TestLocations::roundTrip_data()
{
    QTest::addColumn<QString>("name");
    for (const char *name : { "a b", "site#2", "what?", "100%", "%41", "ä", "it's", "%232", "a b#c?d%e%41ä'f" })
        QTest::newRow(name) << QString::fromUtf8(name);
}

void TestLocations::roundTrip()
{
    QFETCH(QString, name);
    const QString path = TestEnv::root() + QStringLiteral("/home/") + name + QStringLiteral("/x.html");
    const QString url = localPathToUrl(path);
    QVERIFY(url.startsWith(QLatin1String("file:///")));
    QCOMPARE(urlToLocalPath(url), path);
    QCOMPARE(localPathToUrl(urlToLocalPath(url)), url);
}

QUILLARY_TEST_MAIN(TestLocations)
#include "tst_locations.moc"
