#include "testmain.h"

#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUrl>

#include "bridge.h"
#include "filemanagerwrapper.h"
#include "publishtestutil.h"
#include "testpipe.h"

using namespace PublishTest;

// The page's side of a publishing run: every script text Bridge sends.
class PageCalls : public QObject
{
    Q_OBJECT
public:
    explicit PageCalls(Bridge *bridge)
        : spy(bridge, &Bridge::jsChanged)
    {
    }
    QStringList all() const
    {
        QStringList out;
        for (const QList<QVariant> &args : spy)
            out << args.at(0).toString();
        return out;
    }
    QStringList starting(const QString &prefix) const
    {
        QStringList out;
        for (const QString &call : all())
            if (call.startsWith(prefix))
                out << call;
        return out;
    }
    bool closed() const { return !starting("Bridge._fmClose(").isEmpty(); }

    QSignalSpy spy;
};

class UrlCatcher : public QObject
{
    Q_OBJECT
public:
    QStringList urls;
public slots:
    void open(const QUrl &url) { urls << url.toString(); }
};

class TestPublish : public QObject
{
    Q_OBJECT

    QTemporaryDir *dir = nullptr;
    QString dest;
    QString destUrl;

private slots:
    void init()
    {
        dir = new QTemporaryDir;
        QVERIFY(dir->isValid());
        dest = dir->path() + "/site";
        QVERIFY(QDir().mkpath(dest));
        destUrl = QUrl::fromLocalFile(dest).toString();
    }
    void cleanup()
    {
        delete dir;
        dir = nullptr;
    }

    void folderTasks_data()
    {
        QTest::addColumn<QString>("destPath");
        QTest::addColumn<QString>("onDisk");
        QTest::newRow("root") << "index.html" << "index.html";
        QTest::newRow("two levels") << "a/b/page.html" << "a/b/page.html";
        QTest::newRow("leading slash") << "/top.html" << "top.html";
    }
    void folderTasks()
    {
        QFETCH(QString, destPath);
        QFETCH(QString, onDisk);
        Bridge bridge;
        PageCalls page(&bridge);
        QVERIFY(writeFile(dir->path() + "/src/it's.html", "<p>hi</p>"));
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.uploadFile(destPath, QUrl::fromLocalFile(dir->path() + "/src/it's.html").toString());
        bridge.closeFileManager();
        QTRY_VERIFY(page.closed());
        QCOMPARE(readAll(dest + "/" + onDisk), QByteArray("<p>hi</p>"));
        QCOMPARE(page.all(), QStringList({ "Bridge._fmFile('" + destPath + "')",
                                           "Bridge._fmUploaded(\"" + destPath + "\")",
                                           "Bridge._fmClose(\"" + destUrl + "/\")" }));
    }

    // A generated text is reported as a file is: started, then uploaded once
    // whole at the destination; its bytes are UTF-8.
    void dataUploadIsReportedUploaded()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        QVERIFY(bridge.initFileManager(destUrl));
        const QString text = QString::fromUtf8("Grüße, 日本");
        bridge.uploadData("data/t.txt", text);
        bridge.closeFileManager();
        QTRY_VERIFY(page.closed());
        QCOMPARE(readAll(dest + "/data/t.txt"), text.toUtf8());
        QCOMPARE(page.all(), QStringList({ "Bridge._fmFile('data/t.txt')",
                                           "Bridge._fmUploaded(\"data/t.txt\")",
                                           "Bridge._fmClose(\"" + destUrl + "/\")" }));
    }

    void joinedUpload()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        QVERIFY(writeFile(dir->path() + "/part.js", "ef"));
        QVERIFY(bridge.initFileManager(destUrl));
        QVERIFY(bridge.initTempFile());
        bridge.tmpAppendData(QString("ab"));
        bridge.tmpAppendData(QByteArray("cd"));
        bridge.tmpAppendFile(QUrl::fromLocalFile(dir->path() + "/part.js").toString());
        bridge.uploadTempFile("js/all.js");
        QVERIFY(bridge.closeTempFile());
        bridge.closeFileManager();
        QTRY_VERIFY(page.closed());
        QCOMPARE(readAll(dest + "/js/all.js"), QByteArray("abcdef"));
        QCOMPARE(page.starting("Bridge._fmFile("), QStringList("Bridge._fmFile('js/all.js')"));
        QCOMPARE(page.starting("Bridge._fmUploaded("), QStringList("Bridge._fmUploaded(\"js/all.js\")"));
    }

    // A part that cannot be read whole is reported with its path; the joined file does not go out without it.
    void joinedUploadWithUnreadablePart_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::newRow("missing") << qint64(-1);
        QTest::newRow("larger than a joined file may be") << (qint64(5) << 29);   // 2.5 GiB, sparse
    }

    void joinedUploadWithUnreadablePart()
    {
        QFETCH(qint64, size);
        Bridge bridge;
        PageCalls page(&bridge);
        const QString part = dir->path() + "/gone<1>.js";
        if (size >= 0) {
            QFile file(part);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.resize(size));
        }
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.initTempFile();
        bridge.tmpAppendData(QString("ab"));
        bridge.tmpAppendFile(part);
        bridge.uploadTempFile("js/all.js");
        bridge.closeTempFile();
        bridge.initTempFile();
        bridge.tmpAppendData(QString("ok"));
        bridge.uploadTempFile("js/next.js");
        bridge.closeFileManager();
        QCOMPARE(page.starting("Bridge._fmError("),
                 QStringList("Bridge._fmError(\"Can\\'t read source file<br>" + html(part) + "\");"));
        QTest::qWait(200);
        QVERIFY(!page.closed());   // paused until the page answers
        bridge.resumePublish();
        QTRY_VERIFY(page.closed());
        QVERIFY(!QFile::exists(dest + "/js/all.js"));
        QCOMPARE(readAll(dest + "/js/next.js"), QByteArray("ok"));
    }

    void failedUploadReachesPageEscaped()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        const QString missing = dir->path() + "/a&b<c>.png";
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.uploadFile("img/x.png", missing);
        bridge.uploadData("after.html", QString("after"));
        bridge.closeFileManager();
        QTRY_COMPARE(page.starting("Bridge._fmError(").size(), 1);
        QCOMPARE(page.starting("Bridge._fmError(").first(),
                 "Bridge._fmError(\"File not exists<br>" + html(missing) + "\");");
        QTest::qWait(200);
        QVERIFY(!QFile::exists(dest + "/after.html"));
        bridge.resumePublish();
        QTRY_VERIFY(page.closed());
        QCOMPARE(readAll(dest + "/after.html"), QByteArray("after"));
    }

    void exitEndsWithEmptyClose()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.uploadFile("img/x.png", dir->path() + "/missing.png");
        bridge.uploadData("after.html", QString("after"));
        QTRY_COMPARE(page.starting("Bridge._fmError(").size(), 1);
        bridge.exitPublish();
        QTRY_VERIFY(page.closed());
        QCOMPARE(page.all().last(), QString("Bridge._fmClose(\"\")"));
        QVERIFY(!QFile::exists(dest + "/after.html"));
        // The run is over: a new one may start.
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.exitPublish();
        QTRY_COMPARE(page.starting("Bridge._fmClose(").size(), 2);
    }

    // While a run is open a new one is refused and told so; its uploads do not join the open run.
    void refusedSecondRun()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        const QString other = dir->path() + "/other";
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.pausePublish();
        bridge.uploadData("first.html", QString("1"));
        QVERIFY(!bridge.initFileManager(QUrl::fromLocalFile(other).toString()));
        QCOMPARE(page.starting("Bridge._fmError(").size(), 1);
        bridge.uploadData("second.html", QString("2"));
        bridge.closeFileManager();   // the refused run's close
        bridge.resumePublish();
        QTest::qWait(300);
        QVERIFY(!page.closed());     // the open run goes on
        QCOMPARE(readAll(dest + "/first.html"), QByteArray("1"));
        QVERIFY(!QFile::exists(dest + "/second.html"));
        bridge.uploadData("third.html", QString("3"));
        bridge.closeFileManager();
        QTRY_VERIFY(page.closed());
        QCOMPARE(readAll(dest + "/third.html"), QByteArray("3"));
    }

    // _fmClose is sent before the run counts as closed, so a start from its handler is refused.
    void startFromCloseHandlerIsRefused()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        int refused = 0;
        connect(&bridge, &Bridge::jsChanged, this, [&](QString js) {
            if (js.startsWith("Bridge._fmClose(") && !bridge.initFileManager(destUrl))
                ++refused;
        });
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.closeFileManager();
        QTRY_VERIFY(page.closed());
        QCOMPARE(refused, 1);
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.closeFileManager();
        QTRY_COMPARE(page.starting("Bridge._fmClose(").size(), 2);
    }

    void steeringWithoutRunChangesNothing()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        bridge.pausePublish();
        bridge.resumePublish();
        bridge.exitPublish();
        bridge.closeFileManager();
        bridge.uploadData("x.html", QString("x"));
        bridge.downloadFile("x.html");
        bridge.showDestUrl("x.html");
        QCOMPARE(bridge.error(), QString());
        QTest::qWait(100);
        QVERIFY(page.all().isEmpty());
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.closeFileManager();
        QTRY_VERIFY(page.closed());
    }

    void emptyUrlWritesToScratchFolder()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        const QDateTime before = QDateTime::currentDateTime();
        QVERIFY(bridge.initFileManager(QString()));
        const QDateTime after = QDateTime::currentDateTime();
        bridge.uploadData("a/b.html", QString("b"));
        bridge.closeFileManager();
        QTRY_VERIFY(page.closed());
        QStringList names;
        for (QDateTime t = before.addSecs(-1); t <= after; t = t.addSecs(1))
            names << bridge.getTempLocation() + "/" + FileManagerWrapper::scratchFolderName(t) + "/a/b.html";
        bool found = false;
        for (const QString &name : names)
            found = found || readAll(name) == "b";
        QVERIFY2(found, qPrintable(names.join(", ")));
    }

    void readBackAsBase64()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        QVERIFY(writeFile(dest + "/project.json", "{ \"x\" : 1 }"));
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.downloadFile("project.json");
        bridge.closeFileManager();
        QTRY_VERIFY(page.closed());
        QCOMPARE(page.starting("Bridge._fmFileReady("),
                 QStringList("Bridge._fmFileReady(\"" + QByteArray("{ \"x\" : 1 }").toBase64() + "\")"));
    }

    void destUrlOpensLocalPage()
    {
        UrlCatcher catcher;
        QDesktopServices::setUrlHandler("file", &catcher, "open");
        Bridge bridge;
        PageCalls page(&bridge);
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.showDestUrl(QString());
        bridge.closeFileManager();
        QTRY_VERIFY(page.closed());
        QDesktopServices::unsetUrlHandler("file");
        QCOMPARE(catcher.urls.size(), 1);
        QVERIFY2(catcher.urls.first().endsWith("/site//index.html"), qPrintable(catcher.urls.first()));
    }

    // A pipe as a source is reported, not read: the worker would wait on it
    // for good, past any exit.
    void pipeSourceIsRefused()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        const QString pipe = dir->path() + "/pipe.html";
        QVERIFY(TestPipe::make(pipe));
        TestPipe::Feeder feeder(pipe, "x");
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.uploadFile("a.html", QUrl::fromLocalFile(pipe).toString());
        bridge.uploadData("b.html", QString("b"));
        bridge.closeFileManager();
        QTRY_COMPARE(page.starting("Bridge._fmError("),
                     QStringList("Bridge._fmError(\"Error open file<br>" + html(pipe) + "\");"));
        bridge.resumePublish();
        QTRY_VERIFY(page.closed());
        QVERIFY(!feeder.stop());
        QVERIFY(!QFile::exists(dest + "/a.html"));
        QCOMPARE(readAll(dest + "/b.html"), QByteArray("b"));
    }

    // Reading the error property pauses the open run before the next task.
    void readingErrorPauses()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        QVERIFY(bridge.initFileManager(destUrl));
        bridge.error();
        bridge.uploadData("a.html", QString("a"));
        QTest::qWait(300);
        QVERIFY(!QFile::exists(dest + "/a.html"));
        bridge.resumePublish();
        QTRY_VERIFY(QFile::exists(dest + "/a.html"));
        bridge.exitPublish();
        QTRY_VERIFY(page.closed());
    }

    // The host going away with a paused run open must neither hang nor leave the worker running.
    void bridgeGoneWithOpenRun()
    {
        {
            Bridge bridge;
            QVERIFY(bridge.initFileManager(destUrl));
            bridge.pausePublish();
            bridge.uploadData("a.html", QString("a"));
            QTest::qWait(100);
        }
        QTest::qWait(100);
        QVERIFY(!QFile::exists(dest + "/a.html"));
    }

    // A name with a quote must not end the script literal early.
    void callbackTextsKeepNamesIntact()
    {
        Bridge bridge;
        PageCalls page(&bridge);
        bridge.pbFileUploadStarted("it's/a\"b.html");
        bridge.pbFileUploadFinished("a\"b.html");
        bridge.onError("50%1 done\nnext");
        bridge.pbClose("ftp://h/x\"y");
        QCOMPARE(page.all(), QStringList({ "Bridge._fmFile('it\\'s/a\\\"b.html')",
                                           "Bridge._fmUploaded(\"a\\\"b.html\")",
                                           "Bridge._fmError(\"50%1 done\\nnext\");",
                                           "Bridge._fmClose(\"ftp://h/x\\\"y\")" }));
    }

};

QUILLARY_TEST_MAIN(TestPublish)
#include "tst_publish.moc"
