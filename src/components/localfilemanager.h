#pragma once

#include "filemanager.h"

// A destination folder on the local file system. Full paths are the root
// followed by the relative path as given; nothing is inserted or cleaned up.
class LocalFileManager : public FileManager
{
    Q_OBJECT
public:
    explicit LocalFileManager(const QString &path);
    ~LocalFileManager() override;

    bool mkpath(const QString &path) override;
    bool putfile(const QString &destination, const QString &source) override;
    bool putdata(const QString &destination, const QByteArray &data) override;
    QString url() override;
    QString errorString() override;
    QSharedPointer<QIODevice> getfile(const QString &name) override;

    // "message<br>path", with both parts escaped for the page's HTML.
    static QString composeError(const char *message, const QString &path);

private:
    QString errorText;
    QString root;
    QSharedPointer<QIODevice> device;
};
