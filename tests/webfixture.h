#pragma once

// Helpers for tests that drive the real main window and web view with the small
// test page built from tests/data/testbundle.

#include <QResource>
#include <QWebFrame>
#include <QWebView>
#include <QtTest>

#include "mainwindow.h"
#include "qwebpageex.h"

namespace WebFixture {

inline bool registerTestBundle()
{
    static const bool ok = QResource::registerResource(
            QStringLiteral(QUILLARY_BINARY_DIR "/testbundle.rcc"), QString());
    return ok;
}

inline QVariant eval(MainWindow &window, const QString &js)
{
    return window.page()->mainFrame()->evaluateJavaScript(js);
}

// Waits until the current page has loaded and the host has been given to it.
inline bool waitForPage(MainWindow &window, const QString &pageName = QStringLiteral("index"),
                        int timeoutMs = 15000)
{
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < timeoutMs) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        if (window.page()
                && eval(window, QStringLiteral("window.pageName === '%1' && typeof _Bridge_ === 'object'"
                                               " && !!window.Bridge && Bridge._level0 === true")
                                        .arg(pageName))
                           .toBool())
            return true;
        QTest::qWait(20);
    }
    return false;
}

// From now on the page records each path the window is asked to open (a
// later start forwards its argument so); loadRequests() gives them in order.
inline void recordLoadRequests(MainWindow &window)
{
    eval(window, QStringLiteral(
            "window.received = [];"
            "Bridge.onLoadRequest = function (url) { window.received.push(url); };"));
}

inline QStringList loadRequests(MainWindow &window)
{
    return eval(window, QStringLiteral("window.received")).toStringList();
}

} // namespace WebFixture
