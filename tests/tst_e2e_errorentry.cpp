#include "testmain.h"

#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>

#include <sys/stat.h>

#include "e2efixture.h"
#include "testpipe.h"

// The host script in the real window, publishing to a real folder: each error
// a run reports reaches onError with the entry of the upload list it is about
// (null for none), so the page can mark exactly that file.
class TestE2eErrorEntry : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void pageCallbackGetsTheEntry();
    void errorNamesItsEntry_data();
    void errorNamesItsEntry();

private:
    MainWindow *window = nullptr;
};

namespace {

QString fileUrl(const QString &path)
{
    return QUrl::fromLocalFile(path).toString();
}

bool write(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size() && file.flush();
}

// "kind:dest" as an upload list entry in script. Kinds: file (a source file),
// gen (a generated text), join (a file and a generated text), empty (no
// source), fifo (a named pipe as source), gone (a missing source), joingone
// (a generated text and a missing file).
QString entryJs(const QString &spec, const QString &sources)
{
    const QString kind = spec.section(':', 0, 0), dest = spec.section(':', 1);
    const QString file = QStringLiteral("{ src: %1 }").arg(E2e::quoted(fileUrl(sources + '/' + dest)));
    const QString generated = QStringLiteral("{ src: %1, filter: 1 }").arg(E2e::quoted(dest));
    QString srcList;
    if (kind == "gen")
        srcList = generated;
    else if (kind == "join")
        srcList = file + ", " + generated;
    else if (kind == "joingone")
        srcList = generated + ", " + file;
    else if (kind != "empty")
        srcList = file;
    return QStringLiteral("{ dest: %1, srcList: [%2] }").arg(E2e::quoted(dest), srcList);
}

// What a whole upload of the entry puts at its destination.
QByteArray expectedBytes(const QString &spec)
{
    const QString kind = spec.section(':', 0, 0), dest = spec.section(':', 1);
    const QByteArray source = "source of " + dest.toUtf8(), generated = "generated " + dest.toUtf8();
    if (kind == "gen")
        return generated;
    if (kind == "join")
        return source + generated;
    if (kind == "empty")
        return QByteArray();
    return source;
}

} // namespace

void TestE2eErrorEntry::initTestCase()
{
    window = E2e::openWindow(false);
    QVERIFY(window);
}

void TestE2eErrorEntry::cleanupTestCase()
{
    delete window;
}

// The page's bridge hands the entry on to its error callback, and only there;
// an error it makes itself is about no entry. Three jobs, run one after the
// other: a missing source, a generator that throws, a scheme no uploader takes.
void TestE2eErrorEntry::pageCallbackGetsTheEntry()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QVERIFY(write(dir.path() + "/src/a.html", "a"));
    const QString lists = QStringLiteral(
            "[[{ dest: 'a.html', srcList: [{ src: %1 }] }, { dest: 'gone.html', srcList: [{ src: %2 }] }],"
            " [{ dest: 'bad.html', srcList: [{ src: 'bad', filter: 1 }] }], []]")
            .arg(E2e::quoted(fileUrl(dir.path() + "/src/a.html")), E2e::quoted(fileUrl(dir.path() + "/src/gone.html")));
    E2e::eval(*window, QStringLiteral(
            "window.realTemplating = Bridge.templating;"
            "Bridge.templating = function (src) { if (src === 'bad') throw new Error('no generator'); return src; };"
            "window.seen = []; window.closes = 0; window.runLists = %1;"
            "function entryName(e) {"
            "  for (var i = 0; i < runLists.length; i++)"
            "    if (runLists[i].indexOf(e) >= 0) return e.dest;"
            "  return e === null ? 'null' : 'other';"
            "}"
            "var callbacks = {"
            "  file: function (f) { seen.push('file:' + f + ':' + arguments.length); },"
            "  uploaded: function (f) { seen.push('uploaded:' + f + ':' + arguments.length); },"
            "  error: function (t, e) { seen.push('error:' + entryName(e) + ':' + arguments.length); this.resume(); },"
            "  close: function () { window.closes++; }"
            "};"
            "Bridge.FileManager(runLists[0], %2, callbacks);"
            "Bridge.FileManager(runLists[1], %2, callbacks);"
            "Bridge.FileManager(runLists[2], 'github://x/y', callbacks);").arg(lists, E2e::quoted(fileUrl(dir.path() + "/site"))));
    const bool done = E2e::waitFor(*window, QStringLiteral("window.closes === 3"));
    const QStringList seen = E2e::eval(*window, QStringLiteral("window.seen")).toStringList();
    E2e::eval(*window, QStringLiteral("Bridge.templating = window.realTemplating;"));
    QVERIFY2(done, qPrintable(seen.join('\n')));
    QCOMPARE(seen.filter(QRegularExpression("^(file|error):")),
             (QStringList { "file:a.html:1", "file:gone.html:1", "error:gone.html:2", "error:bad.html:2", "error:null:2" }));
    QCOMPARE(seen.filter("uploaded:"), QStringList("uploaded:a.html:1"));
    QCOMPARE(E2e::readFile(dir.path() + "/site/a.html"), QByteArray("a"));
}

// Each row publishes a list through the host script, answering every error
// with Continue as the page does, and records what onError was given as
// "entry's dest|argument count|text" (entry "null" for none).
void TestE2eErrorEntry::errorNamesItsEntry_data()
{
    // In the destination: "file:P" a regular file at P, "folder:P" a folder
    // with a file in it, "readonly:P" a folder no one may write to; "fix:P"
    // the page removes P at the first error (as a user clears what is in the
    // way before Continue); "stale" a run left open before this one starts.
    QTest::addColumn<QStringList>("setup");
    QTest::addColumn<QStringList>("entries");
    QTest::addColumn<QStringList>("errors");     // "dest|wildcard of the text"
    QTest::addColumn<QStringList>("uploaded");

    QTest::newRow("no error")
            << QStringList()
            << QStringList { "file:a.html", "gen:gen.html", "join:js/all.js", "empty:empty.txt" }
            << QStringList()
            << QStringList { "a.html", "gen.html", "js/all.js", "empty.txt" };
    QTest::newRow("refused by the host")
            << QStringList()
            << QStringList { "file:a.html", "fifo:pipe.html", "joingone:j.js", "gen:c.html" }
            << QStringList { "pipe.html|Error open file<br>*/src/pipe.html",
                             "j.js|Can't read source file<br>*/src/j.js" }
            << QStringList { "a.html", "c.html" };
    QTest::newRow("folder in the way, then a missing source")
            << QStringList { "file:sub" }
            << QStringList { "file:a.html", "file:sub/b.html", "gone:sub2/c.html", "gen:d.html" }
            << QStringList { "sub/b.html|Can't create path<br>sub",
                             "sub/b.html|Can't create file<br>*/site/sub/b.html",
                             "sub2/c.html|File not exists<br>*/src/sub2/c.html" }
            << QStringList { "a.html", "d.html" };
    QTest::newRow("folder cleared before Continue")
            << QStringList { "file:sub", "fix:sub" }
            << QStringList { "file:a.html", "file:sub/b.html", "gen:c.html" }
            << QStringList { "sub/b.html|Can't create path<br>sub" }
            << QStringList { "a.html", "sub/b.html", "c.html" };
    QTest::newRow("generated text fails")
            << QStringList { "readonly:ro" }
            << QStringList { "file:a.html", "gen:ro/t.txt", "gen:c.html", "file:d.html" }
            << QStringList { "ro/t.txt|Can't create file<br>*/site/ro/t.txt" }
            << QStringList { "a.html", "c.html", "d.html" };
    QTest::newRow("batch fails when put in place")
            << QStringList { "folder:b.html", "folder:d.html" }
            << QStringList { "file:a.html", "gen:b.html", "file:c.html", "join:d.html" }
            << QStringList { "b.html|Can't create file<br>*/site/b.html", "d.html|Can't create file<br>*/site/d.html" }
            << QStringList { "a.html", "c.html" };
    QTest::newRow("previous run still open")
            << QStringList { "stale" }
            << QStringList { "gen:a.html" }
            << QStringList { "null|A publishing run is still open*" }
            << QStringList();
}

void TestE2eErrorEntry::errorNamesItsEntry()
{
    QFETCH(QStringList, setup);
    QFETCH(QStringList, entries);
    QFETCH(QStringList, errors);
    QFETCH(QStringList, uploaded);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString site = dir.path() + "/site", sources = dir.path() + "/src";
    QVERIFY(QDir().mkpath(site));
    QString fix;
    bool stale = false;
    for (const QString &item : qAsConst(setup)) {
        const QString kind = item.section(':', 0, 0), path = site + '/' + item.section(':', 1);
        if (kind == "file")
            QVERIFY(write(path, "in the way"));
        else if (kind == "folder")
            QVERIFY(write(path + "/inner", "inner"));
        else if (kind == "readonly")
            QVERIFY(QDir().mkpath(path) && ::chmod(QFile::encodeName(path).constData(), 0555) == 0);
        else if (kind == "fix")
            fix = fileUrl(path);
        else if (kind == "stale")
            stale = true;
    }
    QStringList listJs;
    QScopedPointer<TestPipe::Feeder> feeder;
    for (const QString &spec : qAsConst(entries)) {
        const QString kind = spec.section(':', 0, 0), source = sources + '/' + spec.section(':', 1);
        if (kind == "file" || kind == "join")
            QVERIFY(write(source, "source of " + spec.section(':', 1).toUtf8()));
        if (kind == "fifo") {
            QVERIFY(QDir().mkpath(sources) && TestPipe::make(source));
            // Should the pipe ever be read, the reader gets an end instead of waiting for good.
            feeder.reset(new TestPipe::Feeder(source, "from the pipe"));
        }
        listJs << entryJs(spec, sources);
    }

    QSignalSpy host(window->bridge(), &Bridge::jsChanged);
    if (stale)
        QVERIFY(E2e::eval(*window, QStringLiteral("_Bridge_.initFileManager(%1)").arg(E2e::quoted(fileUrl(dir.path() + "/stale")))).toBool());
    const bool started = E2e::eval(*window, QStringLiteral(
            "(function () {"
            "  var list = [%1], fix = %2;"
            "  window.rep = { errors: [], uploaded: [], closed: null };"
            "  return !!Bridge.uploadBuildIn(%3, list, {"
            "    onUploaded: function (f) { rep.uploaded.push(f); },"
            "    onError: function (text, entry) {"
            "      var at = list.indexOf(entry);"
            "      rep.errors.push((entry === null ? 'null' : at >= 0 ? list[at].dest : 'not an entry')"
            "                      + '|' + arguments.length + '|' + text);"
            "      if (fix) { Bridge.removeLocal(fix); fix = ''; }"
            "      var run = this;"
            "      setTimeout(function () { if (Bridge._uploadInstance === run) run.resume(); }, 0);"
            "    },"
            "    onClose: function (url) { rep.closed = url; },"
            "    onData: function (src) { return 'generated ' + src; }"
            "  });"
            "})()").arg(listJs.join(", "), E2e::quoted(fix), E2e::quoted(fileUrl(site)))).toBool();
    QVERIFY(started);
    // The script's run has ended, and so has the host's (the left-over one too).
    const bool ended = E2e::waitFor(*window, QStringLiteral("rep.closed !== null && Bridge._uploadInstance === false"));
    const auto hostClosed = [&host]() {
        for (const QList<QVariant> &call : host)
            if (call.at(0).toString().startsWith("Bridge._fmClose("))
                return true;
        return false;
    };
    QTRY_VERIFY_WITH_TIMEOUT(hostClosed(), 20000);
    const QStringList gotErrors = E2e::eval(*window, QStringLiteral("rep.errors")).toStringList();
    const QStringList gotUploaded = E2e::eval(*window, QStringLiteral("rep.uploaded")).toStringList();
    const QString report = "errors:\n" + gotErrors.join('\n') + "\nuploaded:\n" + gotUploaded.join('\n');
    QVERIFY2(ended, qPrintable(report));
    if (feeder)
        QVERIFY2(!feeder->stop(), "the pipe was read");

    QCOMPARE(gotErrors.size(), errors.size());
    for (int i = 0; i < errors.size(); ++i) {
        const QString dest = errors.at(i).section('|', 0, 0), text = errors.at(i).section('|', 1);
        const QRegularExpression pattern("^" + QRegularExpression::escape(text).replace("\\*", ".*") + "$");
        QVERIFY2(gotErrors.at(i).section('|', 0, 0) == dest && gotErrors.at(i).section('|', 1, 1) == "2"
                         && pattern.match(gotErrors.at(i).section('|', 2)).hasMatch(),
                 qPrintable(report));
    }
    QCOMPARE(gotUploaded, uploaded);
    const QString closed = E2e::eval(*window, QStringLiteral("rep.closed")).toString();
    QVERIFY2(stale ? closed.isEmpty() : closed.startsWith("file:"), qPrintable(closed));

    // What was reported uploaded is there whole; nothing else of the list is.
    for (const QString &spec : qAsConst(entries)) {
        const QString dest = spec.section(':', 1), path = site + '/' + dest;
        if (uploaded.contains(dest))
            QVERIFY2(E2e::readFile(path) == expectedBytes(spec) && QFileInfo(path).isFile(), qPrintable(dest));
        else
            QVERIFY2(!QFileInfo(path).isFile(), qPrintable(dest));
    }
    // What stood in the way is as it was.
    for (const QString &item : qAsConst(setup)) {
        const QString kind = item.section(':', 0, 0), path = site + '/' + item.section(':', 1);
        if (kind == "file" && !setup.contains("fix:" + item.section(':', 1)))
            QCOMPARE(E2e::readFile(path), QByteArray("in the way"));
        else if (kind == "folder")
            QCOMPARE(E2e::readFile(path + "/inner"), QByteArray("inner"));
        else if (kind == "readonly")
            QCOMPARE(QDir(path).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden), QStringList());
    }
    if (stale)
        QVERIFY(!QFileInfo::exists(dir.path() + "/stale/a.html"));
}

QUILLARY_TEST_MAIN(TestE2eErrorEntry)
#include "tst_e2e_errorentry.moc"
