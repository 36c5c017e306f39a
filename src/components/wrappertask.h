#pragma once

#include <QByteArray>
#include <QString>

// One queued publishing task. Fields a type does not use stay empty.
struct WrapperTask
{
    enum Type {
        Init = 0,       // choose the destination from `path`
        UploadFile = 1, // `dest` from the local file `src`
        UploadData = 2, // `dest` from `data`
        MakePath = 3,   // the folder `dest`
        GetFile = 4,    // read `dest` back
        DestUrl = 5,    // form the URL of the published file `dest`
        Close = 6       // end the run
    };

    int type = Init;
    QString dest;
    QString src;
    QByteArray data;
    QString path;
};
