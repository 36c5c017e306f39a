// A program of the core alone that publishes a few files and ends the moment
// the run reports it finished, as a program that quits right after publishing
// does: the application object goes while the run's worker may still be
// letting go of its server.
//
// quitafterrun <destination URL> <scratch folder> <file count>
// Prints "finished <URL>" and returns 0; a failed step returns 3.

#include <QCoreApplication>
#include <QTextStream>

#include <cstdio>

#include "filemanagerwrapper.h"
#include "wrapperlisthandler.h"

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = QCoreApplication::arguments();
    if (args.size() != 4)
        return 2;
    const int count = args.at(3).toInt();

    auto *run = new FileManagerWrapper(args.at(2));
    QObject::connect(run, &FileManagerWrapper::finished, &app, [](const QString &dest) {
        std::printf("finished %s\n", qPrintable(dest));
        std::fflush(stdout);
        QCoreApplication::quit();
    });
    // A failed step would pause the run for good: the program ends with the reason.
    QObject::connect(run->handler, &WrapperListHandler::error, &app, [](const QString &text) {
        std::fprintf(stderr, "run failed: %s\n", qPrintable(text));
        QCoreApplication::exit(3);
    });
    run->initWithPath(args.at(1));
    for (int i = 0; i < count; ++i) {
        run->mkpath(QStringLiteral("pages"));
        run->uploadData(QStringLiteral("pages/page-%1.html").arg(i), QByteArray("<p>page ") + QByteArray::number(i) + "</p>\n");
    }
    run->close();
    return QCoreApplication::exec();
}
