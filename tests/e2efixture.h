#pragma once

// Helpers for the end-to-end tests: the real main window with the real web bundle,
// driven by script in the page's main frame and observed through the DOM and the
// file system. Screenshots of each step go to the build folder's e2e-screens/.

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QStandardPaths>
#include <QUrl>
#include <QWebFrame>
#include <QWebView>
#include <QtTest>

#include "mainwindow.h"
#include "qwebpageex.h"
#include "resourcebundle.h"
#include "testmain.h"

namespace E2e {

inline bool registerBundle()
{
    static const bool ok = registerWebBundle();
    return ok;
}

inline QVariant eval(MainWindow &window, const QString &js)
{
    return window.page()->mainFrame()->evaluateJavaScript(js);
}

inline QString quoted(const QString &text)
{
    // A JSON string is a valid script string literal.
    const QByteArray json = QJsonDocument(QJsonArray { text }).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.mid(1, json.size() - 2));
}

// Waits, bounded, until the script condition holds in the page.
inline bool waitFor(MainWindow &window, const QString &condition, int timeoutMs = 20000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
        if (window.page() && eval(window, QStringLiteral("!!(function(){try{return (%1);}catch(e){return false;}})()")
                                                  .arg(condition)).toBool())
            return true;
        QTest::qWait(10);
    }
    return false;
}

// Waits until the editor has started and shows a site.
inline bool waitForApp(MainWindow &window, int timeoutMs = 20000)
{
    return waitFor(window, QStringLiteral("document.body.className.indexOf('app-ready') >= 0"
                                          " && !!qlrApp.currentSite()"), timeoutMs);
}

// The real window on the real bundle, shown at a fixed size, with the editor started;
// null when it does not come up.
inline MainWindow *openWindow(bool runServer)
{
    if (!registerBundle())
        return nullptr;
    auto *window = new MainWindow(runServer);
    window->resize(1200, 800);
    window->show();
    if (!waitForApp(*window)) {
        delete window;
        return nullptr;
    }
    return window;
}

inline void click(MainWindow &window, const QString &selector)
{
    eval(window, QStringLiteral("document.querySelector(%1).click()").arg(quoted(selector)));
}

// Types a value into a field and lets the page see it as the user's edit.
inline void setField(MainWindow &window, const QString &selector, const QString &value)
{
    eval(window, QStringLiteral("(function(){var f = document.querySelector(%1); f.value = %2;"
                                "['input','keyup','change'].forEach(function(n){"
                                "var e = document.createEvent('HTMLEvents'); e.initEvent(n, true, true);"
                                " f.dispatchEvent(e);});})()")
                         .arg(quoted(selector), quoted(value)));
}

inline QWebView *webView(MainWindow &window)
{
    return window.findChild<QWebView *>();
}

// The middle of a control in the view's own pixels; (-1, -1) when it has no box.
inline QPoint centre(MainWindow &window, const QString &selector)
{
    const QVariantList box = eval(window, QStringLiteral(
            "(function(){var n = document.querySelector(%1); if (!n) return [];"
            // Brought into view first, as a user scrolls to a control below the fold.
            " if (n.scrollIntoViewIfNeeded) n.scrollIntoViewIfNeeded(false);"
            " var r = n.getBoundingClientRect(); return [r.left + r.width / 2, r.top + r.height / 2, r.width, r.height];})()")
                                          .arg(quoted(selector))).toList();
    if (box.size() != 4 || box.at(2).toDouble() <= 0 || box.at(3).toDouble() <= 0)
        return QPoint(-1, -1);
    // The view may zoom the page (to the screen's resolution): CSS pixels to widget pixels.
    const qreal zoom = webView(window)->zoomFactor();
    return QPoint(qRound(box.at(0).toDouble() * zoom), qRound(box.at(1).toDouble() * zoom));
}

// A real click: press and release at the control's middle, as a mouse would.
inline bool clickAt(MainWindow &window, const QString &selector)
{
    const QPoint at = centre(window, selector);
    if (at.x() < 0 || !webView(window)->rect().contains(at)) {
        qWarning("not clickable: %s", qPrintable(selector));
        return false;
    }
    QTest::mouseClick(webView(window), Qt::LeftButton, Qt::NoModifier, at);
    QTest::qWait(30);
    return true;
}

inline void key(MainWindow &window, int key, Qt::KeyboardModifiers modifiers = Qt::NoModifier)
{
    QTest::keyClick(webView(window), static_cast<Qt::Key>(key), modifiers);
    QTest::qWait(20);
}

inline QString activeId(MainWindow &window)
{
    return eval(window, QStringLiteral("document.activeElement ? document.activeElement.id : ''")).toString();
}

// Clicks into a field, replaces its text by typing, and leaves the focus there.
inline bool typeInto(MainWindow &window, const QString &selector, const QString &text)
{
    if (!clickAt(window, selector))
        return false;
    key(window, Qt::Key_A, Qt::ControlModifier);
    key(window, Qt::Key_Delete);
    QTest::keyClicks(webView(window), text);
    QTest::qWait(20);
    const QString value = eval(window, QStringLiteral("document.querySelector(%1).value").arg(quoted(selector))).toString();
    if (value != text)
        qWarning("typed into %s: \"%s\", focus on %s, view focus %d", qPrintable(selector), qPrintable(value),
                 qPrintable(activeId(window)), int(webView(window)->hasFocus()));
    return value == text;
}

inline bool visible(MainWindow &window, const QString &selector)
{
    return eval(window, QStringLiteral("(function(){var n = document.querySelector(%1); if (!n) return false;"
                                       " for (; n && n.nodeType === 1; n = n.parentNode)"
                                       "  if (n.hidden || getComputedStyle(n).display === 'none') return false;"
                                       " return true;})()")
                        .arg(quoted(selector))).toBool();
}

inline QString text(MainWindow &window, const QString &selector)
{
    return eval(window, QStringLiteral("document.querySelector(%1).textContent").arg(quoted(selector))).toString();
}

// The texts of every element the selector finds, in document order.
inline QStringList texts(MainWindow &window, const QString &selector)
{
    return eval(window, QStringLiteral("Array.prototype.map.call(document.querySelectorAll(%1),"
                                       " function (n) { return n.textContent; })").arg(quoted(selector))).toStringList();
}

// After a test: its run ended and no dialog left over the next test's controls.
inline void closeDialogs(MainWindow &window)
{
    waitFor(window, QStringLiteral("Bridge._uploadInstance === false && !Bridge._fmCurrent"), 20000);
    eval(window, QStringLiteral("['#confirm', '#message', '#progress', '#publish-dialog'].forEach(function (s) {"
                                " qlrApp.closeModal(document.querySelector(s)); });"));
}

// A screenshot for people to look at, under test-output/<folder>/.
inline void shotTo(MainWindow &window, const QString &folder, const QString &name)
{
    QCoreApplication::processEvents();
    QTest::qWait(120);
    window.grab().save(TestEnv::outputDir(folder) + QLatin1Char('/') + name + QStringLiteral(".png"));
}

inline QString screensFolder()
{
    const QString dir = QStringLiteral(QUILLARY_BINARY_DIR "/e2e-screens");
    QDir().mkpath(dir);
    return dir;
}

inline void screenshot(MainWindow &window, const QString &name)
{
    QCoreApplication::processEvents();
    QTest::qWait(150);
    window.grab().save(screensFolder() + QLatin1Char('/') + name + QStringLiteral(".png"));
}

// Every file below a folder, by its path relative to it.
inline QMap<QString, QByteArray> filesUnder(const QString &folder)
{
    QMap<QString, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            files.insert(QDir(folder).relativeFilePath(path), file.readAll());
    }
    return files;
}

inline QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// The files the current site's upload list stands for: each destination with the
// bytes of its sources joined, generated texts as the page generates them.
inline QMap<QString, QByteArray> expectedUpload(MainWindow &window)
{
    const QString json = eval(window, QStringLiteral(
            "JSON.stringify(qlrApp.buildUploadList(qlrApp.currentSite()).map(function (e) {"
            "  return { dest: e.dest, srcList: e.srcList.map(function (s) {"
            "    return { src: s.src, filter: !!s.filter, text: s.filter ? Bridge.templating(s.src, s.filter) : '' };"
            "  }) };"
            "}))")).toString();
    QMap<QString, QByteArray> files;
    const QJsonArray entries = QJsonDocument::fromJson(json.toUtf8()).array();
    for (const QJsonValue &e : entries) {
        QByteArray bytes;
        for (const QJsonValue &s : e.toObject().value(QStringLiteral("srcList")).toArray()) {
            const QJsonObject src = s.toObject();
            if (src.value(QStringLiteral("filter")).toBool())
                bytes += src.value(QStringLiteral("text")).toString().toUtf8();
            else
                bytes += readFile(QUrl(src.value(QStringLiteral("src")).toString()).toLocalFile());
        }
        files.insert(e.toObject().value(QStringLiteral("dest")).toString(), bytes);
    }
    return files;
}

// Compares two file sets and names the first difference.
inline QString compareFiles(const QMap<QString, QByteArray> &expected, const QMap<QString, QByteArray> &actual)
{
    for (auto it = expected.cbegin(); it != expected.cend(); ++it) {
        if (!actual.contains(it.key()))
            return QStringLiteral("missing on the destination: ") + it.key();
        if (actual.value(it.key()) != it.value())
            return QStringLiteral("different bytes: %1 (%2 expected, %3 found)")
                    .arg(it.key()).arg(it.value().size()).arg(actual.value(it.key()).size());
    }
    for (auto it = actual.cbegin(); it != actual.cend(); ++it) {
        if (!expected.contains(it.key()))
            return QStringLiteral("not in the upload list: ") + it.key();
    }
    return QString();
}

// A copy of the starter site as shipped, in a folder of the test's choosing.
inline bool copyStarter(const QString &folder)
{
    const QMap<QString, QByteArray> files = filesUnder(QStringLiteral(QUILLARY_SOURCE_DIR "/web/starter"));
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        const QString path = folder + QLatin1Char('/') + it.key();
        QDir().mkpath(QFileInfo(path).path());
        QFile file(path);
        if (!file.open(QIODevice::WriteOnly) || file.write(it.value()) != it.value().size())
            return false;
    }
    return true;
}

inline QString documentsFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
}

inline QString dataFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::DataLocation);
}

inline QString starterFolder()
{
    return documentsFolder() + QStringLiteral("/Quillary/My First Site");
}

} // namespace E2e
