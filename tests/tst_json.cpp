#include "testmain.h"

#include <QDate>
#include <QJsonArray>
#include <QJsonDocument>
#include <QUrl>
#include <QWebFrame>
#include <QWebPage>

#include <limits>

#include "json.h"

class TestJson : public QObject
{
    Q_OBJECT

private slots:
    void writer_data();
    void writer();
    void unwritable();
    void reader_data();
    void reader();
};

void TestJson::writer_data()
{
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<QByteArray>("json");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();

    QTest::newRow("no value") << QVariant() << QByteArray("null");
    QTest::newRow("empty text") << QVariant(QString()) << QByteArray("\"\"");
    QTest::newRow("string list") << QVariant(QStringList({ "a", "b" })) << QByteArray("[ \"a\", \"b\" ]");
    QTest::newRow("empty list") << QVariant(QVariantList()) << QByteArray("[  ]");
    QTest::newRow("empty map") << QVariant(QVariantMap()) << QByteArray("{  }");
    QTest::newRow("map order") << QVariant(QVariantMap({ { "b", 2 }, { "a", 1 } }))
                               << QByteArray("{ \"a\" : 1, \"b\" : 2 }");
    QTest::newRow("hash") << QVariant(QVariantHash({ { "k", true } })) << QByteArray("{ \"k\" : true }");
    QTest::newRow("nested") << QVariant(QVariantList({ QVariantMap({ { "x", QVariantList({ 1, "y" }) } }), false }))
                            << QByteArray("[ { \"x\" : [ 1, \"y\" ] }, false ]");
    QTest::newRow("escapes") << QVariant(QStringLiteral("\t\"\\")) << QByteArray("\"\\t\\\"\\\\\"");
    QTest::newRow("all short escapes") << QVariant(QStringLiteral("\b\f\n\r/"))
                                       << QByteArray("\"\\b\\f\\n\\r/\"");
    QTest::newRow("line separators") << QVariant(QString::fromUtf8("a\u2028b\u2029c"))
                                     << QByteArray("\"a\\u2028b\\u2029c\"");
    QTest::newRow("other controls") << QVariant(QString::fromUtf8("\x01\x1f\x7f", 3))
                                    << QByteArray("\"\\u0001\\u001f\x7f\"");
    QTest::newRow("non-ASCII") << QVariant(QString::fromUtf8("Grüße ✓ \U0001F600"))
                               << QByteArray("\"Grüße ✓ \U0001F600\"");
    QTest::newRow("bytes") << QVariant(QByteArray("x y")) << QByteArray("\"x y\"");
    QTest::newRow("double 1") << QVariant(1.0) << QByteArray("1.0");
    QTest::newRow("double 3") << QVariant(3.0) << QByteArray("3.0");
    QTest::newRow("double 100000") << QVariant(100000.0) << QByteArray("100000.0");
    QTest::newRow("double 0.5") << QVariant(0.5) << QByteArray("0.5");
    QTest::newRow("double -0.25") << QVariant(-0.25) << QByteArray("-0.25");
    QTest::newRow("double 0.1") << QVariant(0.1) << QByteArray("0.10000000000000000555");
    QTest::newRow("double 1e21") << QVariant(1e21) << QByteArray("1e+21");
    QTest::newRow("double 1e-7") << QVariant(1e-7) << QByteArray("9.9999999999999995475e-08");
    QTest::newRow("float") << QVariant(0.5f) << QByteArray("0.5");
    QTest::newRow("NaN") << QVariant(nan) << QByteArray("null");
    QTest::newRow("infinities") << QVariant(QVariantList({ inf, -inf })) << QByteArray("[ null, null ]");
    QTest::newRow("int") << QVariant(3) << QByteArray("3");
    QTest::newRow("negative") << QVariant(qlonglong(-9007199254740991)) << QByteArray("-9007199254740991");
    QTest::newRow("uint64") << QVariant(qulonglong(18446744073709551615u)) << QByteArray("18446744073709551615");
    QTest::newRow("bool") << QVariant(false) << QByteArray("false");
    QTest::newRow("date") << QVariant(QDate(2026, 1, 2)) << QByteArray("\"2026-01-02\"");
    QTest::newRow("url") << QVariant(QUrl(QStringLiteral("file:///a%20b"))) << QByteArray("\"file:///a b\"");
}

void TestJson::writer()
{
    QFETCH(QVariant, value);
    QFETCH(QByteArray, json);
    const QByteArray text = jsonSerialize(value);
    QCOMPARE(text, json);

    // Valid JSON for a real parser...
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson("[" + text + "]", &error);
    QVERIFY2(error.error == QJsonParseError::NoError, qPrintable(error.errorString()));
    const QVariant parsed = doc.array().at(0).toVariant();

    // ...and valid script that the page's engine evaluates to the same value.
    QWebPage page;
    QWebFrame *frame = page.mainFrame();
    const QString source = QString::fromUtf8(text);
    QCOMPARE(frame->evaluateJavaScript(QStringLiteral("typeof (") + source + QLatin1Char(')')).toString(),
             frame->evaluateJavaScript(QStringLiteral("typeof JSON.parse('[' + ") + QString::fromUtf8(jsonSerialize(source))
                                       + QStringLiteral(" + ']')[0]")).toString());
    if (parsed.userType() != QMetaType::Nullptr && parsed.isValid())
        QCOMPARE(frame->evaluateJavaScript(QLatin1Char('(') + source + QLatin1Char(')')), parsed);
    else
        QCOMPARE(frame->evaluateJavaScript(QLatin1Char('(') + source + QStringLiteral(") === null")), QVariant(true));
    if (value.userType() == QMetaType::QString)
        QCOMPARE(frame->evaluateJavaScript(QLatin1Char('(') + source + QLatin1Char(')')).toString(), value.toString());
}

void TestJson::unwritable()
{
    QObject object;
    const QVariant pointer = QVariant::fromValue(&object);
    QVERIFY(jsonSerialize(pointer).isNull());
    QVERIFY(jsonSerialize(QVariantList({ 1, pointer, 2 })).isNull());
    QVERIFY(jsonSerialize(QVariantMap({ { "a", QVariantList({ pointer }) } })).isNull());
    QCOMPARE(jsonJoin({}, ", "), QByteArray());
    QCOMPARE(jsonJoin({ "a" }, ", "), QByteArray("a"));
}

void TestJson::reader_data()
{
    QTest::addColumn<QString>("json");
    QTest::addColumn<bool>("success");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("null input") << QString() << true << QVariant();
    QTest::newRow("own layout") << QString::fromUtf8(jsonSerialize(QVariantMap({ { "a", QVariantList({ "x", true }) } })))
                                << true << QVariant(QVariantMap({ { "a", QVariantList({ "x", true }) } }));
    QTest::newRow("numbers") << "[1, -2, 2.5, 1e3]" << true
                             << QVariant(QVariantList({ qulonglong(1), qlonglong(-2), 2.5, 1000.0 }));
    QTest::newRow("escapes") << "\"\\u00e4\\/\\n\\\"\"" << true << QVariant(QString::fromUtf8("ä/\n\""));
    QTest::newRow("stray commas") << "[,1,,2,]" << true << QVariant(QVariantList({ qulonglong(1), qulonglong(2) }));
    QTest::newRow("null word") << "null" << true << QVariant();
    QTest::newRow("bad word") << "nope" << false << QVariant();
    QTest::newRow("bad escape") << "\"\\x\"" << false << QVariant();
    QTest::newRow("short unicode escape") << "\"\\u12\"" << false << QVariant();
    QTest::newRow("unterminated array") << "[1, 2" << false << QVariant(QVariantList());
    QTest::newRow("key without colon") << "{\"a\" 1}" << false << QVariant(QVariantMap());
    QTest::newRow("hostile nesting") << QString(100000, QLatin1Char('[')) << false << QVariant(QVariantList());
}

void TestJson::reader()
{
    QFETCH(QString, json);
    QFETCH(bool, success);
    QFETCH(QVariant, value);
    bool ok = !success;
    const QVariant result = jsonParse(json, ok);
    QCOMPARE(ok, success);
    QCOMPARE(result, value);
}

QUILLARY_TEST_MAIN(TestJson)
#include "tst_json.moc"
