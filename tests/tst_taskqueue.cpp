#include "testmain.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QUrl>

#include "filemanagerwrapper.h"
#include "publishrecorder.h"
#include "publishtestutil.h"
#include "testpipe.h"

using namespace PublishTest;
using TestPipe::Fifo;

// Waits for the run to end and for its wrapper to be gone.
#define WAIT_ENDED(rec) QTRY_VERIFY_WITH_TIMEOUT((rec).run.isNull(), 10000)

class TestTaskQueue : public QObject
{
    Q_OBJECT

    QTemporaryDir *dir = nullptr;
    QString dest;    // the destination folder of a run
    QString scratch; // the wrapper's default folder

    FileManagerWrapper *startRun(const QString &path)
    {
        auto *w = new FileManagerWrapper(scratch);
        w->initWithPath(path);
        return w;
    }


private slots:
    void init()
    {
        dir = new QTemporaryDir;
        QVERIFY(dir->isValid());
        dest = dir->path() + "/site";
        scratch = dir->path() + "/scratch";
        QVERIFY(QDir().mkpath(dest));
        QVERIFY(QDir().mkpath(scratch));
    }
    void cleanup()
    {
        delete dir;
        dir = nullptr;
    }

    void scratchFolderName()
    {
        const QDateTime at(QDate(2026, 3, 2), QTime(8, 5, 9));
        QCOMPARE(FileManagerWrapper::scratchFolderName(at), QString("tmpfm2026-03-02_08-05-09"));
    }

    void runInOrderAndClose()
    {
        auto *w = startRun(QUrl::fromLocalFile(dest).toString());
        PublishRecorder rec(w);
        QVERIFY(writeFile(dir->path() + "/src.css", "body{}"));
        w->mkpath("css");
        w->uploadFile("css/site.css", dir->path() + "/src.css");
        for (int i = 0; i < 50; ++i)
            w->uploadData(QString("p/%1.html").arg(i), QByteArray::number(i));
        w->close();
        WAIT_ENDED(rec);
        const QString url = QUrl::fromLocalFile(dest + "/").toString();
        QCOMPARE(rec.events.first(), "initialized:" + url);
        QCOMPARE(rec.events.at(1), QString("started:css/site.css"));
        // Each file is reported once it is in place, in the order sent; files are
        // made durable together, so later ones may start before that.
        QVERIFY(rec.events.indexOf("finished:css/site.css") > 1);
        QVERIFY(rec.events.indexOf("finished:css/site.css") < rec.events.indexOf("dataFinished:p/0.html"));
        QCOMPARE(rec.matching("dataFinished:").size(), 50);
        QCOMPARE(rec.matching("dataFinished:").last(), QString("dataFinished:p/49.html"));
        QCOMPARE(rec.ending(),
                 QStringList({ "close:" + url, "finished-run:" + url }));
        QCOMPARE(readAll(dest + "/css/site.css"), QByteArray("body{}"));
        QCOMPARE(readAll(dest + "/p/49.html"), QByteArray("49"));
    }

    void pauseDuringUpload()
    {
        Fifo fifo(dir->path() + "/pipe");
        QVERIFY(fifo.made);
        auto *w = startRun(QUrl::fromLocalFile(dest).toString());
        PublishRecorder rec(w);
        w->uploadFile("a.html", fifo.path);
        w->uploadData("b.html", "b");
        QTRY_VERIFY(rec.events.contains("started:a.html"));
        w->pause();
        QVERIFY(fifo.feed("slow bytes"));
        // The upload that was running finishes and is reported; the next one waits.
        QTRY_VERIFY(rec.events.contains("finished:a.html"));
        QCOMPARE(readAll(dest + "/a.html"), QByteArray("slow bytes"));
        QTest::qWait(300);
        QVERIFY(rec.matching("dataStarted:").isEmpty());
        QCOMPARE(w->state(), int(FileManagerWrapper::Paused));
        w->resume();
        QTRY_VERIFY(rec.events.contains("dataFinished:b.html"));
        w->close();
        WAIT_ENDED(rec);
    }

    void exitWhilePaused()
    {
        auto *w = new FileManagerWrapper(scratch);
        PublishRecorder rec(w);
        w->pause();
        w->initWithPath(QUrl::fromLocalFile(dest).toString());
        w->uploadData("a.html", "a");
        w->close();
        QTest::qWait(200);
        QVERIFY(rec.events.isEmpty());
        w->exit();
        WAIT_ENDED(rec);
        QCOMPARE(rec.ending(), QStringList({ "close:", "finished-run:" }));
        QCOMPARE(rec.events.size(), 2);
        QVERIFY(!QFile::exists(dest + "/a.html"));
    }

    // Without a pass running there is nothing to notice the exit; it must still end the run.
    void exitWhileIdleEndsRun()
    {
        auto *w = startRun(QUrl::fromLocalFile(dest).toString());
        PublishRecorder rec(w);
        w->uploadData("a.html", "a");
        QTRY_VERIFY(rec.events.contains("dataFinished:a.html"));
        w->exit();
        WAIT_ENDED(rec);
        QCOMPARE(rec.ending(), QStringList({ "close:", "finished-run:" }));
    }

    void exitIsFinal()
    {
        Fifo fifo(dir->path() + "/pipe");
        QVERIFY(fifo.made);
        // "blocker" is a file, so the upload into blocker/x.html fails once its
        // source is open; the worker may close the pipe before it reads.
        QVERIFY(writeFile(dest + "/blocker", "file"));
        auto *w = startRun(QUrl::fromLocalFile(dest).toString());
        PublishRecorder rec(w);
        w->uploadFile("blocker/x.html", fifo.path);
        w->uploadData("after.html", "never");
        QTRY_VERIFY(rec.events.contains("started:blocker/x.html"));
        w->exit();
        w->pause();
        w->resume();
        QCOMPARE(w->state(), int(FileManagerWrapper::Exit));
        QVERIFY(fifo.feed("x"));
        WAIT_ENDED(rec);
        // The failure after the exit is no error for the page and does not pause the run again.
        QVERIFY(rec.matching("error:").isEmpty());
        QCOMPARE(rec.ending(), QStringList({ "close:", "finished-run:" }));
        QVERIFY(!QFile::exists(dest + "/after.html"));
    }

    void failedUploadThenResume()
    {
        auto *w = startRun(QUrl::fromLocalFile(dest).toString());
        PublishRecorder rec(w);
        const QString missing = dir->path() + "/missing<&>.png";
        w->uploadFile("img/a.png", missing);
        w->uploadData("b.html", "b");
        QTRY_VERIFY(!rec.matching("error:").isEmpty());
        QCOMPARE(rec.matching("error:"),
                 QStringList("error:File not exists<br>" + QString(missing).replace("&", "&amp;")
                                                                  .replace("<", "&lt;").replace(">", "&gt;")));
        QTest::qWait(200);
        QCOMPARE(w->state(), int(FileManagerWrapper::Paused));
        QVERIFY(!rec.events.contains("dataStarted:b.html"));
        w->resume();
        QTRY_VERIFY(rec.events.contains("dataFinished:b.html"));
        w->close();
        WAIT_ENDED(rec);
        // Reported once, and not sent again.
        QCOMPARE(rec.matching("error:").size(), 1);
        QCOMPARE(rec.matching("started:img/a.png").size(), 1);
        QVERIFY(!rec.events.contains("finished:img/a.png"));
    }

    void pathsCannotLeaveDestination_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("path");
        QTest::newRow("data up") << int(WrapperTask::UploadData) << "../evil.html";
        QTest::newRow("data deep") << int(WrapperTask::UploadData) << "a/../../evil.html";
        QTest::newRow("data newline") << int(WrapperTask::UploadData) << "a\nb.html";
        QTest::newRow("file up") << int(WrapperTask::UploadFile) << "../evil.html";
        QTest::newRow("folder up") << int(WrapperTask::MakePath) << "../evil";
    }
    void pathsCannotLeaveDestination()
    {
        QFETCH(int, type);
        QFETCH(QString, path);
        QVERIFY(writeFile(dir->path() + "/src.html", "src"));
        auto *w = startRun(QUrl::fromLocalFile(dest).toString());
        PublishRecorder rec(w);
        if (type == WrapperTask::UploadData)
            w->uploadData(path, "evil");
        else if (type == WrapperTask::UploadFile)
            w->uploadFile(path, dir->path() + "/src.html");
        else
            w->mkpath(path);
        w->uploadData("next.html", "next");
        QTRY_COMPARE(rec.matching("error:").size(), 1);
        QTest::qWait(100);
        QCOMPARE(w->state(), int(FileManagerWrapper::Paused));
        QVERIFY(!QFile::exists(dir->path() + "/evil.html"));
        QVERIFY(!QFile::exists(dir->path() + "/evil"));
        w->exit();
        WAIT_ENDED(rec);
        QVERIFY(!QFile::exists(dest + "/next.html"));
    }

    void nothingAfterClose()
    {
        auto *w = startRun(QUrl::fromLocalFile(dest).toString());
        PublishRecorder rec(w);
        w->uploadData("a.html", "a");
        w->close();
        w->uploadData("b.html", "b");
        w->close();
        WAIT_ENDED(rec);
        QTest::qWait(100);
        QCOMPARE(rec.matching("close:").size(), 1);
        QCOMPARE(rec.matching("finished-run:").size(), 1);
        QVERIFY(QFile::exists(dest + "/a.html"));
        QVERIFY(!QFile::exists(dest + "/b.html"));
    }

    void nothingAfterExit()
    {
        auto *w = new FileManagerWrapper(scratch);
        PublishRecorder rec(w);
        w->pause();
        w->initWithPath(QUrl::fromLocalFile(dest).toString());
        w->exit();
        w->uploadData("b.html", "b");
        w->close();
        WAIT_ENDED(rec);
        QTest::qWait(100);
        QCOMPARE(rec.ending(), QStringList({ "close:", "finished-run:" }));
        QCOMPARE(rec.events.size(), 2);
        QVERIFY(!QFile::exists(dest + "/b.html"));
    }

    void emptyInitPathWritesToDefaultFolder()
    {
        auto *w = startRun(QString());
        PublishRecorder rec(w);
        w->uploadData("x/a.html", "a");
        w->destUrl(QString());
        w->close();
        WAIT_ENDED(rec);
        QVERIFY(rec.matching("initialized:").isEmpty());
        QCOMPARE(readAll(scratch + "/x/a.html"), QByteArray("a"));
        const QString url = QUrl::fromLocalFile(scratch + "/").toString();
        QVERIFY(rec.events.contains("url:" + url + "/index.html"));
    }

    void destUrlForms_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QString>("tail");
        QTest::newRow("empty") << "" << "//index.html";
        QTest::newRow("file") << "about.html" << "//about.html";
        QTest::newRow("folder") << "a/b.html" << "//a/b.html";
    }
    void destUrlForms()
    {
        QFETCH(QString, name);
        QFETCH(QString, tail);
        auto *w = startRun("file://" + dest);
        PublishRecorder rec(w);
        w->destUrl(name);
        w->close();
        WAIT_ENDED(rec);
        QCOMPARE(rec.matching("url:"), QStringList("url:" + QUrl::fromLocalFile(dest).toString() + tail));
    }

    void emptyFolderTaskDoesNothing()
    {
        auto *w = startRun(QUrl::fromLocalFile(dest).toString());
        PublishRecorder rec(w);
        w->mkpath(QString());
        w->mkpath("made/here");
        w->close();
        WAIT_ENDED(rec);
        QCOMPARE(rec.events.size(), 3); // initialized, close, finished
        QVERIFY(QFileInfo(dest + "/made/here").isDir());
    }

    void readBack_data()
    {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<bool>("exists");
        QTest::newRow("content") << QByteArray("{ \"a\" : 1 }") << true;
        QTest::newRow("empty file") << QByteArray() << true;
        QTest::newRow("missing") << QByteArray() << false;
    }
    void readBack()
    {
        QFETCH(QByteArray, content);
        QFETCH(bool, exists);
        if (exists)
            QVERIFY(writeFile(dest + "/project.json", content));
        auto *w = startRun(QUrl::fromLocalFile(dest).toString());
        PublishRecorder rec(w);
        w->getFile("project.json");
        w->uploadData("next.html", "n");
        if (!content.isEmpty()) {
            QTRY_VERIFY(rec.events.contains("result:" + QString::fromUtf8(content)));
            QTRY_VERIFY(rec.events.contains("dataFinished:next.html"));
        } else {
            // An empty or missing file is a failure, with a text the page can show.
            QTRY_COMPARE(rec.matching("error:").size(), 1);
            QVERIFY(rec.matching("error:").first().size() > 6);
            QTest::qWait(100);
            QCOMPARE(w->state(), int(FileManagerWrapper::Paused));
            QVERIFY(!rec.events.contains("dataStarted:next.html"));
        }
        w->exit();
        WAIT_ENDED(rec);
    }

    // A run that cannot choose a destination reports it and ends instead of writing anywhere.
    void noDestinationEndsRun_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<bool>("withInit");
        QTest::newRow("task before init") << "" << false;
        QTest::newRow("relative path") << "relative/site" << true;
    }
    void noDestinationEndsRun()
    {
        QFETCH(QString, path);
        QFETCH(bool, withInit);
        auto *w = new FileManagerWrapper(scratch);
        PublishRecorder rec(w);
        if (withInit)
            w->initWithPath(path);
        w->uploadData("a.html", "a");
        w->close();
        WAIT_ENDED(rec);
        QCOMPARE(rec.matching("error:").size(), 1);
        QCOMPARE(rec.ending(), QStringList({ "close:", "finished-run:" }));
        QVERIFY(rec.matching("dataStarted:").isEmpty());
        QVERIFY(!QFile::exists(QDir::currentPath() + "/relative"));
    }

    // Deleting a paused run with work left must not wait for ever.
    void destructorEndsPausedWorker()
    {
        QPointer<FileManagerWrapper> w = startRun(QUrl::fromLocalFile(dest).toString());
        w->pause();
        w->uploadData("a.html", "a");
        QTest::qWait(100);
        delete w;
        QVERIFY(w.isNull());
    }
};

QUILLARY_TEST_MAIN(TestTaskQueue)
#include "tst_taskqueue.moc"
