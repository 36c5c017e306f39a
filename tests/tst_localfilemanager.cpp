#include "testmain.h"

#include <QFile>
#include <QRegularExpression>
#include <QTemporaryDir>

#include <sys/wait.h>
#include <unistd.h>

#include "filesizecap.h"
#include "localfilemanager.h"
#include "testpipe.h"

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
    // Every entry of a folder, hidden ones too.
    static QStringList entries(const QString &path)
    {
        return QDir(path).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                                    QDir::Name);
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

    // A write the disk refuses half-way (as a full disk does): false with the
    // file named, the published file it was to replace whole, nothing left
    // beside it. Bytes, a copied file and a pipe, written at once or staged.
    void failedWriteKeepsThePublishedFile_data()
    {
        QTest::addColumn<QString>("source");
        QTest::addColumn<bool>("batched");
        for (const bool batched : { false, true }) {
            const char *mode = batched ? "staged" : "at once";
            QTest::addRow("bytes, %s", mode) << "" << batched;
            QTest::addRow("file, %s", mode) << "file" << batched;
            QTest::addRow("pipe, %s", mode) << "pipe" << batched;
        }
    }
    void failedWriteKeepsThePublishedFile()
    {
        QFETCH(QString, source);
        QFETCH(bool, batched);
        QTemporaryDir dir, src;
        const QByteArray old = "<p>published before</p>";
        const QByteArray big(16 * 1024, 'n');
        QVERIFY(QDir().mkpath(dir.path() + "/site"));
        write(dir.path() + "/site/page.html", old);
        write(src.path() + "/page.html", big);
        QVERIFY(source != "pipe" || TestPipe::make(src.path() + "/pipe"));
        TestPipe::Feeder feeder(src.path() + "/pipe", big);
        LocalFileManager fm(dir.path());
        fm.setBatchedWrites(batched);
        bool ok = true;
        {
            FileSizeCap cap(4096);
            QVERIFY(cap.active);
            if (source.isEmpty())
                ok = fm.putdata("site/page.html", big);
            else
                ok = fm.putfile("site/page.html", src.path() + "/" + (source == "file" ? "page.html" : "pipe"));
        }
        QVERIFY(!ok);
        QCOMPARE(fm.errorString(), "Error writing to file<br>" + dir.path() + "/site/page.html");
        QCOMPARE(fm.stagedWrites(), 0);
        QCOMPARE(readAll(dir.path() + "/site/page.html"), old);
        QCOMPARE(entries(dir.path() + "/site"), QStringList("page.html"));
        // The next write goes through.
        QVERIFY(fm.putdata("site/page.html", "new"));
        QCOMPARE(fm.commitWrites(), batched ? QStringList(QString()) : QStringList());
        QCOMPARE(readAll(dir.path() + "/site/page.html"), QByteArray("new"));
        QCOMPARE(entries(dir.path() + "/site"), QStringList("page.html"));
    }

    // Staged writes are not in place until committed: the old files stay
    // visible, and a discard (a cancelled run) leaves them as they were.
    void stagedWritesAppearOnlyWhenCommitted()
    {
        QTemporaryDir dir, src;
        write(dir.path() + "/a.html", "old a");
        write(src.path() + "/b.css", "new b");
        LocalFileManager fm(dir.path());
        fm.setBatchedWrites(true);
        QVERIFY(fm.putdata("a.html", "new a"));
        QVERIFY(fm.putfile("css/b.css", src.path() + "/b.css"));
        for (int i = 0; i < 8; ++i)
            QVERIFY(fm.putdata(QString("p/%1.html").arg(i), QByteArray::number(i)));
        QCOMPARE(fm.stagedWrites(), 10);
        QCOMPARE(readAll(dir.path() + "/a.html"), QByteArray("old a"));
        QVERIFY(!QFile::exists(dir.path() + "/css/b.css"));
        // Staged under names no publish uses: hidden, in the target's folder.
        const QStringList top = entries(dir.path());
        QCOMPARE(top.filter(QRegularExpression("^\\.quillary-\\d+-[0-9a-f]+-[0-9a-f]+\\.part$")).size(), 1);
        QCOMPARE(entries(dir.path() + "/p").size(), 8);
        QVERIFY(entries(dir.path() + "/p").filter(QRegularExpression("\\.html$")).isEmpty());

        QCOMPARE(fm.commitWrites(), QStringList(QVector<QString>(10).toList()));
        QCOMPARE(fm.stagedWrites(), 0);
        QCOMPARE(readAll(dir.path() + "/a.html"), QByteArray("new a"));
        QCOMPARE(readAll(dir.path() + "/css/b.css"), QByteArray("new b"));
        QCOMPARE(readAll(dir.path() + "/p/7.html"), QByteArray("7"));
        QCOMPARE(entries(dir.path()), QStringList({ "a.html", "css", "p" }));

        QVERIFY(fm.putdata("a.html", "newer a"));
        QVERIFY(fm.putdata("c.html", "c"));
        fm.discardWrites();
        QCOMPARE(readAll(dir.path() + "/a.html"), QByteArray("new a"));
        QCOMPARE(entries(dir.path()), QStringList({ "a.html", "css", "p" }));
    }

    // A staged file whose place is taken by a folder before the commit: that
    // one fails by name and leaves nothing behind; the others are in place.
    void commitNamesTheFileItCouldNotPlace()
    {
        QTemporaryDir dir;
        LocalFileManager fm(dir.path());
        fm.setBatchedWrites(true);
        QVERIFY(fm.putdata("one.html", "1"));
        QVERIFY(fm.putdata("two.html", "2"));
        QVERIFY(fm.putdata("three.html", "3"));
        QVERIFY(QDir().mkpath(dir.path() + "/two.html/inner"));
        const QStringList results = fm.commitWrites();
        QCOMPARE(results, QStringList({ QString(), "Can't create file<br>" + dir.path() + "/two.html", QString() }));
        QCOMPARE(fm.errorString(), results.at(1));
        QCOMPARE(readAll(dir.path() + "/three.html"), QByteArray("3"));
        QCOMPARE(entries(dir.path()), QStringList({ "one.html", "three.html", "two.html" }));
        QCOMPARE(entries(dir.path() + "/two.html"), QStringList("inner"));
    }

    // What a killed run left in a folder goes when a later run writes there;
    // what may belong to a running process, and other names, stay.
    void leftoversOfEndedRunsAreRemoved()
    {
        QTemporaryDir dir;
        // A process that has ended, and been reaped: its id names no process.
        const pid_t ended = ::fork();
        if (ended == 0)
            ::_exit(0);
        QVERIFY(ended > 0);
        QCOMPARE(::waitpid(ended, nullptr, 0), ended);
        QVERIFY(QDir().mkpath(dir.path() + "/sub"));
        const QStringList left = {
            QString(".quillary-%1-0badcafe-1f.part").arg(ended),
            // This process's id with another token: an ended process that had it.
            QString(".quillary-%1-0badcafe-2.part").arg(QCoreApplication::applicationPid()),
        };
        const QStringList kept = {
            ".quillary-1-0badcafe-3.part",   // a process of another user, running
            QString(".quillary-%1-0badcafe.part").arg(ended),
            QString("quillary-%1-0badcafe-4.part").arg(ended),
            QString(".quillary-%1-0badcafe-5.part.html").arg(ended),
        };
        for (const QString &name : left + kept)
            write(dir.path() + "/sub/" + name, "x");
        LocalFileManager fm(dir.path());
        QVERIFY(fm.putdata("sub/page.html", "p"));
        QStringList expected = kept;
        expected << "page.html";
        expected.sort();
        QCOMPARE(entries(dir.path() + "/sub"), expected);
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
