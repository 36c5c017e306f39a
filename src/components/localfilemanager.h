#pragma once

#include <QHash>
#include <QVector>

#include "filemanager.h"

// A destination folder on the local file system. Full paths are the root
// followed by the relative path as given; nothing is inserted or cleaned up.
//
// Every file is written under a temporary name in its folder and renamed over
// the old one only once its bytes are durable, so a published file is never
// seen short or empty, not even after a crash or a power cut, and a failed
// write keeps the file it was to replace. With batched writes the syncing is
// paid once for the whole batch.
class LocalFileManager : public FileManager
{
    Q_OBJECT
public:
    explicit LocalFileManager(const QString &path);
    ~LocalFileManager() override;   // drops what was staged and not committed

    bool mkpath(const QString &path) override;
    bool putfile(const QString &destination, const QString &source) override;
    bool putdata(const QString &destination, const QByteArray &data) override;
    QString url() override;
    QString errorString() override;
    QSharedPointer<QIODevice> getfile(const QString &name) override;

    void setBatchedWrites(bool on) override;
    int stagedWrites() const override { return staged.size(); }
    QStringList commitWrites() override;
    void discardWrites() override;

    // "message<br>path", with both parts escaped for the page's HTML.
    static QString composeError(const char *message, const QString &path);

private:
    struct Staged
    {
        QString full;         // root + destination path
        QByteArray temporary;
        QByteArray target;
        QByteArray folder;
        quint64 device = 0;   // of the folder's file system
    };
    struct FolderState
    {
        quint64 device = 0;
        bool made = false;    // made by this manager, so nothing of an earlier run is in it
    };

    bool ensureFolder(const QByteArray &folder, quint64 *device);
    int beginFile(const QString &full, Staged *file);
    bool finishFile(int handle, Staged &file, const char *writeError);
    bool fail(const char *message, const QString &path);

    QString errorText;
    QString root;
    QSharedPointer<QIODevice> device;
    // Folders known to exist, so each is made (or looked at) once per manager.
    QHash<QByteArray, FolderState> folders;
    QVector<Staged> staged;
    QVector<QByteArray> madeSinceCommit;
    // One handle per file system written to, taken before its first staged file.
    QHash<quint64, int> fileSystems;
    bool batched = false;
};
