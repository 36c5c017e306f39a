#include <QApplication>
#include <QIcon>
#include <QLocalSocket>

#include "appinfo.h"
#include "closesignals.h"
#include "mainwindow.h"
#include "resourcebundle.h"
#include "singleinstance.h"
#include "tempfolders.h"

int main(int argc, char *argv[])
{
    auto *app = new QApplication(argc, argv);
    QCoreApplication::setAttribute(Qt::AA_UseHighDpiPixmaps);
    AppInfo::apply();
    QCoreApplication::addLibraryPath(QCoreApplication::applicationDirPath() + QStringLiteral("/plugins"));

    // A running instance takes the path and this start ends; without a path a
    // second window of its own opens, without a server.
    auto *probe = new QLocalSocket();
    const bool connected = SingleInstance::probe(probe);
    const QStringList args = QCoreApplication::arguments();
    if (connected && args.size() >= 2) {
        SingleInstance::send(probe, SingleInstance::messageFor(args.at(1)));
        delete probe;
        delete app;
        return 0;
    }
    const bool runServer = !connected;

    registerWebBundle();
    TempFolders::removeStale();

    auto *window = new MainWindow(runServer);
    QIcon icon;
    for (int size : { 32, 64, 128 })
        icon.addFile(QStringLiteral(":/icons/quillary-%1.png").arg(size), QSize(size, size));
    QApplication::setWindowIcon(icon);
    window->setWindowIcon(icon);
    window->show();

    // A log-out, kill or Ctrl+C closes the window as its close button does.
    auto *closeSignals = new CloseSignals();
    QObject::connect(closeSignals, &CloseSignals::closeRequested, window, &QWidget::close);

    const int result = QApplication::exec();

    delete closeSignals;
    delete window;
    delete probe;
    delete app;
    return result;
}
