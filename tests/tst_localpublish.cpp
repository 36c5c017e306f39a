#include "testmain.h"

#include <QDirIterator>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QProcess>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTimer>

#include <csignal>
#include <sys/types.h>
#include <unistd.h>

#include "filemanagerwrapper.h"
#include "publishrecorder.h"
#include "publishtestutil.h"
#include "wrapperlisthandler.h"

using namespace PublishTest;

// A whole publishing run to a local folder: files are reported only once they
// are durable and in place, a cut run leaves every published file whole, and
// what it leaves behind is never taken for the site.
class TestLocalPublish : public QObject
{
    Q_OBJECT

    static QString folderOf(const QString &path)
    {
        const int slash = path.lastIndexOf('/');
        return slash > 0 ? path.left(slash) : QString();
    }
    static QString name(int i) { return QString("s%1/page%2.html").arg(i % 20, 2, 10, QChar('0')).arg(i); }
    static QByteArray oldBytes(int i) { return "old " + QByteArray::number(i) + '\n'; }
    // Longer than the old bytes, so that a cut copy of either is neither.
    static QByteArray newBytes(int i) { return QByteArray(4000 + i % 97, 'n') + QByteArray::number(i); }

    // Publishes as the host does, a folder task before each file, and waits for the end.
    static QStringList publish(const QString &dest, const QString &sources, int count)
    {
        QTemporaryDir scratch;
        auto *wrapper = new FileManagerWrapper(scratch.path());
        PublishRecorder rec(wrapper);
        QEventLoop loop;
        QObject::connect(wrapper, &FileManagerWrapper::finished, &loop, &QEventLoop::quit);
        QTimer::singleShot(120000, &loop, &QEventLoop::quit);
        wrapper->initWithPath(QUrl::fromLocalFile(dest).toString());
        for (int i = 0; i < count; ++i) {
            wrapper->mkpath(folderOf(name(i)));
            wrapper->uploadFile(name(i), sources + "/" + name(i));
        }
        wrapper->close();
        loop.exec();
        return rec.events;
    }

    static QStringList hiddenLeftovers(const QString &dest)
    {
        QStringList out;
        QDirIterator it(dest, QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (it.fileName().startsWith('.'))
                out << path;
        }
        return out;
    }

private slots:
    // The page hears of each file once it is in place with its new bytes,
    // every file once, in the order sent, after it was announced.
    void reportedOnlyWhenInPlace()
    {
        QTemporaryDir dir;
        const QString dest = dir.path() + "/site", sources = dir.path() + "/src";
        const int count = 300;
        for (int i = 0; i < count; ++i) {
            QVERIFY(writeFile(dest + "/" + name(i), oldBytes(i)));
            QVERIFY(writeFile(sources + "/" + name(i), newBytes(i)));
        }
        QTemporaryDir scratch;
        auto *wrapper = new FileManagerWrapper(scratch.path());
        PublishRecorder rec(wrapper);
        QStringList notInPlace;
        connect(wrapper->handler, &WrapperListHandler::fileUploadFinished, this, [&](QString file) {
            const int i = file.section("page", 1).section('.', 0, 0).toInt();
            if (readAll(dest + "/" + file) != newBytes(i))
                notInPlace << file;
        });
        wrapper->initWithPath(QUrl::fromLocalFile(dest).toString());
        for (int i = 0; i < count; ++i) {
            wrapper->mkpath(folderOf(name(i)));
            wrapper->uploadFile(name(i), sources + "/" + name(i));
        }
        wrapper->close();
        QTRY_VERIFY_WITH_TIMEOUT(rec.run.isNull(), 60000);
        QCOMPARE(notInPlace, QStringList());
        QStringList finished, started;
        for (int i = 0; i < count; ++i) {
            finished << "finished:" + name(i);
            started << "started:" + name(i);
        }
        QCOMPARE(rec.matching("finished:"), finished);
        QCOMPARE(rec.matching("started:"), started);
        for (int i = 0; i < count; ++i)
            QVERIFY(rec.events.indexOf("started:" + name(i)) < rec.events.indexOf("finished:" + name(i)));
        QCOMPARE(hiddenLeftovers(dest), QStringList());
    }

    // A failed file: what was written before it is reported first, then its
    // error; after the page resumes the rest follows. A cancel while files
    // are held back reports none of them and leaves the old ones.
    void errorsAndCancelKeepTheCountTrue()
    {
        QTemporaryDir dir;
        const QString dest = dir.path() + "/site", sources = dir.path() + "/src";
        for (int i = 0; i < 10; ++i) {
            QVERIFY(writeFile(dest + "/" + name(i), oldBytes(i)));
            if (i != 5)
                QVERIFY(writeFile(sources + "/" + name(i), newBytes(i)));
        }
        QTemporaryDir scratch;
        auto *wrapper = new FileManagerWrapper(scratch.path());
        PublishRecorder rec(wrapper);
        wrapper->initWithPath(QUrl::fromLocalFile(dest).toString());
        for (int i = 0; i < 10; ++i)
            wrapper->uploadFile(name(i), sources + "/" + name(i));
        QTRY_COMPARE(rec.matching("error:").size(), 1);
        QTest::qWait(100);
        QStringList events = rec.events.filter(QRegularExpression("^(finished|error):"));
        QCOMPARE(events.size(), 6);
        for (int i = 0; i < 5; ++i)
            QCOMPARE(events.at(i), "finished:" + name(i));
        QCOMPARE(events.at(5), "error:File not exists<br>" + sources + "/" + name(5));
        QCOMPARE(readAll(dest + "/" + name(5)), oldBytes(5));
        QCOMPARE(wrapper->state(), int(FileManagerWrapper::Paused));
        wrapper->resume();
        QTRY_COMPARE(rec.matching("finished:").size(), 9);
        for (int i = 0; i < 10; ++i)
            QCOMPARE(readAll(dest + "/" + name(i)), i == 5 ? oldBytes(i) : newBytes(i));

        // Held back, then cancelled: the page is told of none, and none replaced its old file.
        for (int i = 0; i < 10; ++i)
            QVERIFY(writeFile(sources + "/" + name(i), "third " + QByteArray::number(i)));
        const int reported = rec.matching("finished:").size();
        for (int i = 0; i < 10; ++i)
            wrapper->uploadFile(name(i), sources + "/" + name(i));
        wrapper->exit();
        QTRY_VERIFY_WITH_TIMEOUT(rec.run.isNull(), 10000);
        const int told = rec.matching("finished:").size() - reported;
        int third = 0;
        for (int i = 0; i < 10; ++i)
            third += readAll(dest + "/" + name(i)).startsWith("third") ? 1 : 0;
        QCOMPARE(third, told);
        QCOMPARE(hiddenLeftovers(dest), QStringList());
    }

    // Files held back together fail one by one when they are put in place
    // (a folder stands at their name): each error follows a start of the file
    // it is about, announced again when a later file was announced since, so
    // the page can tell which file failed. Successes keep their one report.
    // Names: "gen" ones are bytes, "dir" ones meet a folder at their name,
    // "gone" ones have no source; events: s started, f finished, e error
    // (by the last part of the path it names).
    void batchFailuresFollowTheirFile_data()
    {
        QTest::addColumn<QStringList>("uploads");
        QTest::addColumn<QStringList>("expected");
        QTest::newRow("in place")
                << QStringList { "a.html", "gen-dir.html", "c.html", "dir-d.html" }
                << QStringList { "s:a.html", "s:gen-dir.html", "s:c.html", "s:dir-d.html",
                                 "f:a.html", "s:gen-dir.html", "e:gen-dir.html", "f:c.html",
                                 "s:dir-d.html", "e:dir-d.html" };
        QTest::newRow("the last one announced")
                << QStringList { "a.html", "gen-b.html", "dir-c.html" }
                << QStringList { "s:a.html", "s:gen-b.html", "s:dir-c.html",
                                 "f:a.html", "f:gen-b.html", "e:dir-c.html" };
        QTest::newRow("before a later file fails")
                << QStringList { "a.html", "dir-b.html", "gone-c.html", "d.html" }
                << QStringList { "s:a.html", "s:dir-b.html", "s:gone-c.html",
                                 "f:a.html", "s:dir-b.html", "e:dir-b.html",
                                 "s:gone-c.html", "e:gone-c.html", "s:d.html", "f:d.html" };
    }
    void batchFailuresFollowTheirFile()
    {
        QFETCH(QStringList, uploads);
        QFETCH(QStringList, expected);
        QTemporaryDir dir, scratch;
        const QString dest = dir.path() + "/site", sources = dir.path() + "/src";
        for (const QString &file : uploads) {
            if (file.contains("dir"))
                QVERIFY(QDir().mkpath(dest + "/" + file + "/inner"));
            if (!file.contains("gone"))
                QVERIFY(writeFile(sources + "/" + file, "new " + file.toUtf8()));
        }
        auto *wrapper = new FileManagerWrapper(scratch.path());
        PublishRecorder rec(wrapper);
        // Continued after each error, as the page does.
        connect(wrapper->handler, &WrapperListHandler::error, this, [&rec]() {
            QTimer::singleShot(0, rec.run.data(), [&rec]() {
                if (rec.run)
                    rec.run->resume();
            });
        });
        // Held until everything is queued, so that all of it is one batch.
        wrapper->pause();
        wrapper->initWithPath(QUrl::fromLocalFile(dest).toString());
        for (const QString &file : uploads) {
            if (file.startsWith("gen"))
                wrapper->uploadData(file, "new " + file.toUtf8());
            else
                wrapper->uploadFile(file, sources + "/" + file);
        }
        wrapper->close();
        wrapper->resume();
        QTRY_VERIFY_WITH_TIMEOUT(rec.run.isNull(), 20000);
        QStringList events;
        for (const QString &e : qAsConst(rec.events)) {
            const QString kind = e.section(':', 0, 0), what = e.section(':', 1);
            if (kind == "started" || kind == "dataStarted")
                events << "s:" + what;
            else if (kind == "finished" || kind == "dataFinished")
                events << "f:" + what;
            else if (kind == "error")
                events << "e:" + what.section('/', -1);
        }
        QCOMPARE(events, expected);
        for (const QString &file : uploads) {
            if (file.contains("dir"))
                QCOMPARE(QDir(dest + "/" + file).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList("inner"));
            else if (file.contains("gone"))
                QVERIFY(!QFileInfo::exists(dest + "/" + file));
            else
                QCOMPARE(readAll(dest + "/" + file), "new " + file.toUtf8());
        }
        QCOMPARE(hiddenLeftovers(dest), QStringList());
    }

    // A run cut by SIGKILL at a point of its work: every published file is
    // whole, old or new, never short; nothing it left could be taken for a
    // page; and the next run clears its leftovers where it writes.
    void killedRunLeavesWholeFiles_data()
    {
        QTest::addColumn<QString>("cut");
        QTest::newRow("while files are written") << "writing";
        QTest::newRow("while they are put in place") << "placing";
        QTest::newRow("at once") << "start";
    }
    void killedRunLeavesWholeFiles()
    {
        QFETCH(QString, cut);
        QTemporaryDir dir;
        const QString dest = dir.path() + "/site", sources = dir.path() + "/src";
        const int count = 2000;
        for (int i = 0; i < count; ++i) {
            QVERIFY(writeFile(dest + "/" + name(i), oldBytes(i)));
            QVERIFY(writeFile(sources + "/" + name(i), newBytes(i)));
        }
        QProcess child;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("QUILLARY_TEST_PUBLISH", dest + "\n" + sources + "\n" + QString::number(count));
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        child.start(QCoreApplication::applicationFilePath(), { "childPublish" });
        QVERIFY(child.waitForStarted(10000));

        // Each point is watched for from outside, and the kill follows at once.
        const QString first = dest + "/" + name(0);
        QElapsedTimer clock;
        clock.start();
        bool reached = cut == "start";
        while (!reached && clock.elapsed() < 60000 && child.state() == QProcess::Running) {
            if (cut == "writing")
                reached = !QDir(dest + "/s00").entryList({ ".quillary-*" }, QDir::Files | QDir::Hidden).isEmpty();
            else
                reached = readAll(first) == newBytes(0);
        }
        if (cut == "start")
            QTest::qWait(100);   // the child is starting up or has begun its run
        ::kill(pid_t(child.processId()), SIGKILL);
        QVERIFY(child.waitForFinished(10000));
        QVERIFY2(reached, "the child ended before the point was reached");
        QCOMPARE(child.exitStatus(), QProcess::CrashExit);

        int fresh = 0;
        for (int i = 0; i < count; ++i) {
            const QByteArray bytes = readAll(dest + "/" + name(i));
            QVERIFY2(bytes == oldBytes(i) || bytes == newBytes(i),
                     qPrintable(name(i) + ": " + QString::number(bytes.size()) + " bytes"));
            fresh += bytes == newBytes(i) ? 1 : 0;
        }
        if (cut == "placing")
            QVERIFY(fresh > 0);
        qDebug("%s: %d of %d files were new", qPrintable(cut), fresh, count);
        // Only hidden names of the writer's own form are left; no other name appeared.
        const QRegularExpression own("/\\.quillary-\\d+-[0-9a-f]+-[0-9a-f]+\\.part$");
        for (const QString &left : hiddenLeftovers(dest))
            QVERIFY2(own.match(left).hasMatch(), qPrintable(left));
        QDirIterator all(dest, QDir::Files, QDirIterator::Subdirectories);
        int visible = 0;
        while (all.hasNext()) {
            all.next();
            ++visible;
        }
        QCOMPARE(visible, count);

        const QStringList events = publish(dest, sources, count);
        QCOMPARE(events.filter(QRegularExpression("^finished:")).size(), count);
        for (int i = 0; i < count; ++i)
            QCOMPARE(readAll(dest + "/" + name(i)), newBytes(i));
        QCOMPARE(hiddenLeftovers(dest), QStringList());
    }

    // The child of killedRunLeavesWholeFiles: one publishing run, then exit.
    void childPublish()
    {
        const QStringList job = qEnvironmentVariable("QUILLARY_TEST_PUBLISH").split('\n');
        if (job.size() != 3)
            QSKIP("runs only as the child process of killedRunLeavesWholeFiles");
        const QStringList events = publish(job.at(0), job.at(1), job.at(2).toInt());
        QCOMPARE(events.filter(QRegularExpression("^finished:")).size(), job.at(2).toInt());
    }
};

QUILLARY_TEST_MAIN(TestLocalPublish)
#include "tst_localpublish.moc"
