#include "testmain.h"

#include <QSignalSpy>

#include "webfixture.h"

// Every call into the page, as text and as the page receives it in the real view.
class TestCalls : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void jsEscapeText_data();
    void jsEscapeText();
    void plainTexts_data();
    void plainTexts();
    void trickyValuesReachPage_data();
    void trickyValuesReachPage();
    void callbackWithJsonArguments();

private:
    MainWindow *window = nullptr;
};

enum Call { ScreenReady, FmFile, FmUploaded, FmFileReady, FmClose, FmError };
Q_DECLARE_METATYPE(Call)

static void emitCall(Bridge *bridge, Call call, const QString &value)
{
    switch (call) {
    case ScreenReady: bridge->emitScreenReady(value); break;
    case FmFile: bridge->pbFileUploadStarted(value); break;
    case FmUploaded: bridge->pbFileUploadFinished(value); break;
    case FmFileReady: bridge->pbFileReady(value.toUtf8()); break;
    case FmClose: bridge->pbClose(value); break;
    case FmError: bridge->onError(value); break;
    }
}

void TestCalls::initTestCase()
{
    QVERIFY(WebFixture::registerTestBundle());
    window = new MainWindow(false);
    window->show();
    QVERIFY(WebFixture::waitForPage(*window));
    // The page's receivers record what they are given.
    WebFixture::eval(*window, QStringLiteral(
            "window.got = [];"
            "['_screenReady', '_fmFile', '_fmUploaded', '_fmFileReady', '_fmClose', '_fmError',"
            " '_dwFinished', '_dwError'].forEach(function (name) {"
            "  Bridge[name] = function () {"
            "    window.got.push([name].concat(Array.prototype.slice.call(arguments)));"
            "  };"
            "});"));
}

void TestCalls::cleanupTestCase()
{
    delete window;
}

void TestCalls::jsEscapeText_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("escaped");
    QTest::newRow("plain") << QStringLiteral("C:/My Sites/a.html") << QStringLiteral("C:/My Sites/a.html");
    QTest::newRow("backslash quote") << QStringLiteral("a\\\"b") << QStringLiteral("a\\\\\\\"b");
    QTest::newRow("apostrophe") << QStringLiteral("it's") << QStringLiteral("it\\'s");
    QTest::newRow("line ends") << QStringLiteral("a\nb\rc") << QStringLiteral("a\\nb\\rc");
    QTest::newRow("separators") << QStringLiteral("a\u2028b\u2029c") << QStringLiteral("a\\u2028b\\u2029c");
    QTest::newRow("tab and unicode") << QStringLiteral("\t\u00e9%1") << QStringLiteral("\t\u00e9%1");
}

void TestCalls::jsEscapeText()
{
    QFETCH(QString, text);
    QFETCH(QString, escaped);
    QCOMPARE(jsEscape(text), escaped);
    // Read back by the page from either kind of literal, the text is unchanged.
    QCOMPARE(WebFixture::eval(*window, QLatin1Char('\'') + escaped + QLatin1Char('\'')).toString(), text);
    QCOMPARE(WebFixture::eval(*window, QLatin1Char('"') + escaped + QLatin1Char('"')).toString(), text);
}

void TestCalls::plainTexts_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QString>("text");
    QTest::newRow("_screenReady") << ScreenReady << QStringLiteral("file:///tmp/shot.png")
                                  << QStringLiteral("Bridge._screenReady('file:///tmp/shot.png')");
    QTest::newRow("_fmFile") << FmFile << QStringLiteral("css/site.css")
                             << QStringLiteral("Bridge._fmFile('css/site.css')");
    QTest::newRow("_fmUploaded") << FmUploaded << QStringLiteral("index.html")
                                 << QStringLiteral("Bridge._fmUploaded(\"index.html\")");
    QTest::newRow("_fmFileReady") << FmFileReady << QStringLiteral("abcd")
                                  << QStringLiteral("Bridge._fmFileReady(\"YWJjZA==\")");
    QTest::newRow("_fmClose") << FmClose << QStringLiteral("ftp://example.invalid/site/")
                              << QStringLiteral("Bridge._fmClose(\"ftp://example.invalid/site/\")");
    QTest::newRow("_fmClose cancelled") << FmClose << QString() << QStringLiteral("Bridge._fmClose(\"\")");
    QTest::newRow("_fmError") << FmError << QStringLiteral("Cannot connect")
                              << QStringLiteral("Bridge._fmError(\"Cannot connect\");");
}

void TestCalls::plainTexts()
{
    QFETCH(Call, call);
    QFETCH(QString, value);
    QFETCH(QString, text);
    QSignalSpy spy(window->bridge(), &Bridge::jsChanged);
    emitCall(window->bridge(), call, value);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().toString(), text);
}

void TestCalls::trickyValuesReachPage_data()
{
    QTest::addColumn<Call>("call");
    QTest::addColumn<QString>("name");
    const QString names[] = { "_screenReady", "_fmFile", "_fmUploaded", "_fmFileReady", "_fmClose", "_fmError" };
    for (int i = 0; i <= FmError; ++i)
        QTest::newRow(qPrintable(names[i])) << Call(i) << names[i];
}

void TestCalls::trickyValuesReachPage()
{
    QFETCH(Call, call);
    QFETCH(QString, name);
    const QStringList values = {
        QStringLiteral("file:///home/anna/it's a \"site\"/shot.png"),
        QStringLiteral("back\\slash\\\\ and \\' and \\\""),
        QStringLiteral("two\nlines\r\nand CR\r"),
        QStringLiteral("sep\u2028ar\u2029ators \u00e9\u4e2d"),
        QStringLiteral("%1 %2 stays"),
        QStringLiteral("');window.pwned=true;//\");window.pwned=true;//"),
    };
    for (const QString &value : values) {
        WebFixture::eval(*window, QStringLiteral("window.got = []; window.pwned = false;"));
        // Emitted by the bridge, evaluated before the call returns.
        emitCall(window->bridge(), call, value);
        const QVariantList got = WebFixture::eval(*window, QStringLiteral("window.got")).toList();
        QCOMPARE(got.size(), 1);
        const QStringList args = got.first().toStringList();
        QCOMPARE(args.size(), 2);
        QCOMPARE(args.at(0), name);
        const QString expected = call == FmFileReady ? QString::fromLatin1(value.toUtf8().toBase64()) : value;
        QCOMPARE(args.at(1), expected);
        QCOMPARE(WebFixture::eval(*window, QStringLiteral("window.pwned")).toBool(), false);
    }
}

void TestCalls::callbackWithJsonArguments()
{
    QSignalSpy spy(window->bridge(), &Bridge::jsChanged);
    WebFixture::eval(*window, QStringLiteral("window.got = [];"));
    window->bridge()->callJsCallback(QStringLiteral("_dwError"),
                                     { QStringLiteral("7"), QStringLiteral("Not found") });
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.first().first().toString(),
             QStringLiteral("Bridge._dwError.apply(Bridge,[ \"7\", \"Not found\" ]);"));

    const QString tricky = QStringLiteral("it's \"x\" \\ \n\r \u2028 %1");
    window->bridge()->callJsCallback(QStringLiteral("_dwFinished"), { QStringLiteral("8"), tricky });
    const QVariantList got = WebFixture::eval(*window, QStringLiteral("window.got")).toList();
    QCOMPARE(got.size(), 2);
    QCOMPARE(got.at(0).toStringList(), (QStringList{ "_dwError", "7", "Not found" }));
    QCOMPARE(got.at(1).toStringList(), (QStringList{ "_dwFinished", "8", tricky }));
}

QUILLARY_TEST_MAIN(TestCalls)
#include "tst_calls.moc"
