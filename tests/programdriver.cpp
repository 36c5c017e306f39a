// The program itself, built from src/main.cpp unchanged, with one addition for
// the tests that end it from outside: once its page has opened a site, the
// script in QUILLARY_DRIVER_SCRIPT runs in the page and "script started" is
// written to the standard output. Everything else (signals, the window's
// close, the order things end in) is the program's own.

#include <QApplication>
#include <QTimer>
#include <QWebFrame>

#include <cstdio>

#include "mainwindow.h"
#include "qwebpageex.h"

#define main quillaryProgramMain
#include "../src/main.cpp"
#undef main

namespace {

void runScriptWhenReady()
{
    auto *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, poll, [poll]() {
        for (QWidget *widget : QApplication::topLevelWidgets()) {
            auto *window = qobject_cast<MainWindow *>(widget);
            if (!window || !window->page())
                continue;
            QWebFrame *frame = window->page()->mainFrame();
            const bool ready = frame->evaluateJavaScript(QStringLiteral(
                    "(function(){try{return document.body.className.indexOf('app-ready') >= 0"
                    " && !!qlrApp.currentSite();}catch(e){return false;}})()")).toBool();
            if (!ready)
                return;
            poll->stop();
            frame->evaluateJavaScript(qEnvironmentVariable("QUILLARY_DRIVER_SCRIPT"));
            std::fputs("script started\n", stdout);
            std::fflush(stdout);
            poll->deleteLater();
            return;
        }
    });
    poll->start(100);
}

} // namespace

// Runs as the application object is made, before the program's own start.
Q_COREAPP_STARTUP_FUNCTION(runScriptWhenReady)

int main(int argc, char *argv[])
{
    return quillaryProgramMain(argc, argv);
}
