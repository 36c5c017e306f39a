#pragma once

// Real input for the end-to-end tests: mouse clicks and key presses sent to the
// web view at the places where the page shows its controls, and what a user sees
// of a publishing run. Screenshots go to the test output folder "e2e".

#include <QMouseEvent>
#include <QWebView>

#include "e2efixture.h"
#include "testmain.h"
#include "testservers.h"

namespace E2e {

// The real window, started and active, so that key presses reach the page; null
// when it does not come up.
inline MainWindow *openActiveWindow()
{
    MainWindow *window = openWindow(false);
    if (!window)
        return nullptr;
    window->activateWindow();
    if (!QTest::qWaitForWindowActive(window)) {
        delete window;
        return nullptr;
    }
    return window;
}

// The size the tests' clicks expect, the window shown.
inline bool restoreSize(MainWindow &window)
{
    window.resize(1200, 800);
    return QTest::qWaitForWindowExposed(&window);
}

inline QString value(MainWindow &window, const QString &selector)
{
    return eval(window, QStringLiteral("document.querySelector(%1).value").arg(quoted(selector))).toString();
}

inline void shot(MainWindow &window, const QString &name)
{
    QCoreApplication::processEvents();
    QTest::qWait(120);
    window.grab().save(TestEnv::outputDir(QStringLiteral("e2e")) + QLatin1Char('/') + name + QStringLiteral(".png"));
}

inline QString outcome(MainWindow &window)
{
    return eval(window, QStringLiteral("document.getElementById('progress-done').getAttribute('data-outcome') || ''"))
            .toString();
}

// The summary of this run, not the one the closed display still holds: a run into
// a server folder starts only after the page looked into that folder.
inline bool waitDone(MainWindow &window, int timeoutMs = 20000)
{
    if (waitFor(window, QStringLiteral("!document.getElementById('progress').hidden"
                                       " && !document.getElementById('progress-done').hidden"), timeoutMs))
        return true;
    shot(window, QStringLiteral("stuck-") + QString::fromLatin1(QTest::currentTestFunction()));
    qWarning("no summary; focus on %s, progress: %s", qPrintable(activeId(window)),
             qPrintable(text(window, QStringLiteral("#progress"))));
    return false;
}

inline bool questionShown(MainWindow &window, int timeoutMs = 5000)
{
    return waitFor(window, QStringLiteral("!document.getElementById('confirm').hidden"), timeoutMs);
}

// The entry of the FTP site list that shows this text, as a selector; empty when none does.
inline QString ftpEntry(MainWindow &window, const QString &shown)
{
    const int at = eval(window, QStringLiteral(
            "Array.prototype.map.call(document.querySelectorAll('#ftp-list li'), function (li) {"
            " return li.textContent; }).indexOf(%1)").arg(quoted(shown))).toInt();
    return at < 0 ? QString() : QStringLiteral("#ftp-list li:nth-child(%1)").arg(at + 1);
}

// How the site list shows a test server's entry.
inline QString shownServer(const TestServer &server)
{
    return QStringLiteral("%1://%2@%3:%4").arg(server.scheme(), server.user(), server.host()).arg(server.port());
}

// In the open publish dialog: a new server entry, each field typed and left with Tab.
inline bool addServer(MainWindow &window, const TestServer &server, const QString &password, const QString &folder)
{
    if (!clickAt(window, QStringLiteral("#tab-ftp")) || !clickAt(window, QStringLiteral("#btn-ftp-add")))
        return false;
    if (!waitFor(window, QStringLiteral("!document.getElementById('ftp-host').disabled"), 3000))
        return false;
    setField(window, QStringLiteral("#ftp-scheme"), server.scheme());
    const QList<QPair<QString, QString>> fields = {
        { QStringLiteral("#ftp-host"), server.host() },
        { QStringLiteral("#ftp-port"), QString::number(server.port()) },
        { QStringLiteral("#ftp-user"), server.user() },
        { QStringLiteral("#ftp-pass"), password },
        { QStringLiteral("#ftp-folder"), folder },
    };
    for (const auto &f : fields) {
        if (!typeInto(window, f.first, f.second))
            return false;
        key(window, Qt::Key_Tab);
    }
    return true;
}

// Opens a site's project file in the editor.
inline bool openSite(MainWindow &window, const QString &file)
{
    const QString url = QUrl::fromLocalFile(file).toString();
    eval(window, QStringLiteral("qlrApp.openSite(%1)").arg(quoted(url)));
    return waitFor(window, QStringLiteral("qlrApp.currentSite().file === %1").arg(quoted(url)), 5000);
}

// A copy of the starter under another title; returns its project file.
inline QString makeSite(const QString &folder, const QString &title)
{
    if (!copyStarter(folder))
        return QString();
    const QString file = folder + QStringLiteral("/project.quillary");
    QJsonObject project = QJsonDocument::fromJson(readFile(file)).object();
    QJsonObject settings = project.value(QStringLiteral("settings")).toObject();
    settings.insert(QStringLiteral("title"), title);
    project.insert(QStringLiteral("settings"), settings);
    QFile out(file);
    const QByteArray bytes = QJsonDocument(project).toJson();
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) || out.write(bytes) != bytes.size())
        return QString();
    return file;
}

} // namespace E2e
