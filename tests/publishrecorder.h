#pragma once

// Records what a publishing run reports, on the GUI thread, in arrival order.

#include <QObject>
#include <QPointer>
#include <QStringList>

#include <algorithm>

#include "filemanagerwrapper.h"
#include "wrapperlisthandler.h"

class PublishRecorder : public QObject
{
public:
    explicit PublishRecorder(FileManagerWrapper *wrapper)
        : run(wrapper)
    {
        WrapperListHandler *h = wrapper->handler;
        connect(h, &WrapperListHandler::fileUploadStarted, this,
                [this](QString dest, QString) { events << "started:" + dest; });
        connect(h, &WrapperListHandler::dataUploadStarted, this,
                [this](QString dest) { events << "dataStarted:" + dest; });
        connect(h, &WrapperListHandler::fileUploadFinished, this,
                [this](QString dest) { events << "finished:" + dest; });
        connect(h, &WrapperListHandler::dataUploadFinished, this,
                [this](QString dest) { events << "dataFinished:" + dest; });
        connect(h, &WrapperListHandler::destUrlProcessed, this,
                [this](QString url) { events << "url:" + url; });
        connect(h, &WrapperListHandler::initialized, this,
                [this](QString url) { events << "initialized:" + url; });
        connect(h, &WrapperListHandler::error, this, [this](QString text) { events << "error:" + text; });
        connect(h, &WrapperListHandler::resultReady, this,
                [this](QByteArray bytes) { events << "result:" + QString::fromUtf8(bytes); });
        connect(h, &WrapperListHandler::close, this, [this](QString url) { events << "close:" + url; });
        connect(wrapper, &FileManagerWrapper::finished, this,
                [this](QString text) { events << "finished-run:" + text; });
    }

    // Events whose text begins with the prefix.
    QStringList matching(const QString &prefix) const
    {
        QStringList out;
        for (const QString &e : events)
            if (e.startsWith(prefix))
                out << e;
        return out;
    }

    // The last two events in a fixed order: the handler's close reaches the
    // wrapper (whose finished follows at once) before it reaches this recorder.
    QStringList ending() const
    {
        QStringList tail = events.mid(events.size() - 2);
        std::sort(tail.begin(), tail.end());
        return tail;
    }

    QPointer<FileManagerWrapper> run;
    QStringList events;
};
