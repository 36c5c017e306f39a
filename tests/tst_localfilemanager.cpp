#include "testmain.h"

#include <QFile>
#include <QTemporaryDir>

#include "localfilemanager.h"

class TestLocalFileManager : public QObject
{
    Q_OBJECT

    static QByteArray readAll(const QString &path)
    {
        QFile f(path);
        return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray("<missing>");
    }
    static void write(const QString &path, const QByteArray &bytes)
    {
        QFile f(path);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write(bytes);
    }

private slots:
    void rootAndUrl_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("url");
        QTest::newRow("drive url") << "file:///C:/sites/one" << "file:///C:/sites/one/";
        QTest::newRow("drive path") << "C:/sites/one/" << "file:///C:/sites/one/";
        QTest::newRow("unix url") << "file:///srv/site" << "file:///srv/site/";
        QTest::newRow("unix path") << "/srv/site/" << "file:///srv/site/";
        QTest::newRow("relative") << "out" << QUrl::fromLocalFile(QDir::currentPath() + "/out/").toString();
    }
    void rootAndUrl()
    {
        QFETCH(QString, path);
        QFETCH(QString, url);
        QCOMPARE(LocalFileManager(path).url(), url);
    }

    void putdataWritesReplacesAndMakesFolders()
    {
        QTemporaryDir dir;
        LocalFileManager fm(dir.path());
        QVERIFY(fm.putdata("a/b/c.txt", "first"));
        QCOMPARE(readAll(dir.path() + "/a/b/c.txt"), QByteArray("first"));
        QVERIFY(fm.putdata("a/b/c.txt", "2"));
        QCOMPARE(readAll(dir.path() + "/a/b/c.txt"), QByteArray("2"));
        QVERIFY(fm.putdata("empty", QByteArray()));
        QVERIFY(QFile::exists(dir.path() + "/empty"));
        QCOMPARE(QFileInfo(dir.path() + "/empty").size(), 0);
        QVERIFY(fm.errorString().isEmpty());
    }

    void putdataOverFolderFails()
    {
        // A non-empty folder at the destination can be neither removed nor opened.
        QTemporaryDir dir;
        QVERIFY(QDir().mkpath(dir.path() + "/busy/inner"));
        LocalFileManager fm(dir.path());
        QVERIFY(!fm.putdata("busy", "x"));
        QCOMPARE(fm.errorString(), "Can't create file<br>" + dir.path() + "/busy");
    }

    void putfileCopies()
    {
        QTemporaryDir dir, src;
        write(src.path() + "/a.png", "png bytes");
        LocalFileManager fm(dir.path());
        QVERIFY(fm.putfile("img/a.png", src.path() + "/a.png"));
        QCOMPARE(readAll(dir.path() + "/img/a.png"), QByteArray("png bytes"));
        // A source in URL form is accepted with a warning.
        QTest::ignoreMessage(QtDebugMsg, QRegularExpression("^Warning: input file shouldn't be in url format - file:///"));
        QVERIFY(fm.putfile("b.png", "file://" + src.path() + "/a.png"));
        QCOMPARE(readAll(dir.path() + "/b.png"), QByteArray("png bytes"));
    }

    void putfileOntoItselfTouchesNothing()
    {
        QTemporaryDir dir;
        write(dir.path() + "/same.txt", "keep");
        const QDateTime before = QFileInfo(dir.path() + "/same.txt").lastModified();
        LocalFileManager fm(dir.path());
        QTest::qWait(20);
        QVERIFY(fm.putfile("same.txt", dir.path() + "/same.txt"));
        QCOMPARE(readAll(dir.path() + "/same.txt"), QByteArray("keep"));
        QCOMPARE(QFileInfo(dir.path() + "/same.txt").lastModified(), before);
    }

    void putfileSourceErrors()
    {
        QTemporaryDir dir, src;
        LocalFileManager fm(dir.path());
        QVERIFY(!fm.putfile("x", src.path() + "/none.txt"));
        QCOMPARE(fm.errorString(), "File not exists<br>" + src.path() + "/none.txt");
        QVERIFY(QDir().mkpath(src.path() + "/folder"));
        QVERIFY(!fm.putfile("x", src.path() + "/folder"));
        QCOMPARE(fm.errorString(), "Error open file<br>" + src.path() + "/folder");
        QVERIFY(!QFile::exists(dir.path() + "/x"));
    }

    void mkpathAndStickyError()
    {
        QTemporaryDir dir;
        LocalFileManager fm(dir.path());
        QVERIFY(fm.mkpath("a/b"));
        QVERIFY(fm.mkpath("a/b"));
        QVERIFY(QFileInfo(dir.path() + "/a/b").isDir());
        write(dir.path() + "/file", "x");
        QTest::ignoreMessage(QtDebugMsg, "cant create path");
        QVERIFY(!fm.mkpath("file/sub"));
        QCOMPARE(fm.errorString(), QString("Can't create path<br>file/sub"));
        QVERIFY(fm.putdata("ok", "y"));
        QCOMPARE(fm.errorString(), QString("Can't create path<br>file/sub"));
    }

    void errorTextIsEscapedHtml()
    {
        QTemporaryDir dir;
        write(dir.path() + "/file", "x");
        LocalFileManager fm(dir.path());
        QTest::ignoreMessage(QtDebugMsg, "cant create path");
        QVERIFY(!fm.mkpath("file/<img src=x onerror=alert(1)>&"));
        QCOMPARE(fm.errorString(), QString("Can't create path<br>file/&lt;img src=x onerror=alert(1)&gt;&amp;"));
    }

    void getfile()
    {
        QTemporaryDir dir;
        write(dir.path() + "/index.html", "<html>");
        LocalFileManager fm(dir.path());
        QSharedPointer<QIODevice> d = fm.getfile("index.html");
        QVERIFY(d && d->isOpen());
        QCOMPARE(d->readAll(), QByteArray("<html>"));
        QTest::ignoreMessage(QtDebugMsg, "cant create path");
        write(dir.path() + "/f", "");
        QVERIFY(!fm.mkpath("f/g"));
        const QString before = fm.errorString();
        d = fm.getfile("missing.html");
        QVERIFY(d);
        QVERIFY(d->readAll().isEmpty());
        QCOMPARE(fm.errorString(), before);
    }

    void unsafePathsAreRefused_data()
    {
        QTest::addColumn<QString>("path");
        QTest::newRow("parent") << "../outside";
        QTest::newRow("inner parent") << "a/../../outside";
        QTest::newRow("backslash parent") << "a\\..\\..\\outside";
        QTest::newRow("line feed") << "a\nb";
        QTest::newRow("carriage return") << "a\rDELE b";
        QTest::newRow("nul") << QString("a") + QChar(0) + "b";
        QTest::newRow("tab") << "a\tb";
    }
    void unsafePathsAreRefused()
    {
        QFETCH(QString, path);
        QTemporaryDir base;
        const QString root = base.path() + "/root";
        QVERIFY(QDir().mkpath(root));
        write(base.path() + "/src.txt", "s");
        LocalFileManager fm(root);
        QTest::ignoreMessage(QtDebugMsg, "cant create path");
        QVERIFY(!fm.mkpath(path));
        QVERIFY(fm.errorString().startsWith("Can't create path<br>"));
        QVERIFY(!fm.putdata(path, "d"));
        QVERIFY(fm.errorString().startsWith("Can't create file<br>" + root + "/"));
        QVERIFY(!fm.putfile(path, base.path() + "/src.txt"));
        QVERIFY(fm.errorString().startsWith("Can't create file<br>" + root + "/"));
        QCOMPARE(QDir(base.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).size(), 2);
        QVERIFY(QDir(root).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
    }
};

QUILLARY_TEST_MAIN(TestLocalFileManager)
#include "tst_localfilemanager.moc"
