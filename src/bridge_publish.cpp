#include "bridge.h"

#include <QDateTime>
#include <QDebug>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QUrl>

#include "filemanagerwrapper.h"
#include "ftpcall.h"
#include "ftpfilemanager.h"
#include "json.h"
#include "localfilemanager.h"
#include "miscutils.h"
#include "wrapperlisthandler.h"

namespace {

// The folder part of a destination path: before its last "/", unless that
// "/" is the first character.
QString folderOf(const QString &path)
{
    const int slash = path.lastIndexOf(QLatin1Char('/'));
    return slash > 0 ? path.left(slash) : QString();
}

} // namespace

bool Bridge::publishAccepts() const
{
    return busy && wrapper && !publishRefused;
}

bool Bridge::initFileManager(QString url)
{
    if (busy) {
        qDebug() << "Warning: prevent file manager running while prev is not down";
        // The page's uploads that follow belong to this refused run; they must
        // not land in the destination of the run that is still open.
        publishRefused = true;
        onError(tr("A publishing run is still open<br>Cancel it or let it finish before publishing again."));
        return false;
    }
    busy = true;
    publishRefused = false;

    const QString folder = tempDir.path() + QLatin1Char('/')
            + FileManagerWrapper::scratchFolderName(QDateTime::currentDateTime());
    QDir().mkpath(folder);
    wrapper = new FileManagerWrapper(folder);

    WrapperListHandler *handler = wrapper->handler;
    connect(handler, &WrapperListHandler::fileUploadStarted, this, &Bridge::pbFileUploadStarted);
    connect(handler, &WrapperListHandler::dataUploadStarted, this, &Bridge::pbFileUploadStarted);
    // Generated texts and joined files count as uploaded once whole at the destination, as files do.
    connect(handler, &WrapperListHandler::fileUploadFinished, this, &Bridge::pbFileUploadFinished);
    connect(handler, &WrapperListHandler::dataUploadFinished, this, &Bridge::pbFileUploadFinished);
    connect(handler, &WrapperListHandler::resultReady, this, &Bridge::pbFileReady);
    connect(handler, &WrapperListHandler::destUrlProcessed, this, &Bridge::onDestUrl);
    connect(handler, &WrapperListHandler::error, this, &Bridge::onError);
    connect(wrapper, &FileManagerWrapper::finished, this, &Bridge::pbClose);
    // A run still open when the host goes away is cancelled, not left running,
    // and without waiting for its server.
    FileManagerWrapper *run = wrapper;
    connect(this, &QObject::destroyed, run, [run]() { run->discard(); });

    wrapper->initWithPath(url);
    return true;
}

void Bridge::closeFileManager()
{
    if (publishRefused) {
        publishRefused = false;
        return;
    }
    if (publishAccepts())
        wrapper->close();
}

bool Bridge::testFtpLocation(QVariant location)
{
    // One log-in off the GUI thread, ended at the deadline or by
    // cancelFtpCall; the page reads why it failed from the error property.
    FtpCall call(location.toString());
    return runFtpCall(call, [&call]() { return call.testConnection(); });
}

bool Bridge::initTempFile()
{
    tempData.clear();
    tempDataError.clear();
    return true;
}

bool Bridge::closeTempFile()
{
    tempData.clear();
    tempDataError.clear();
    return true;
}

bool Bridge::joinsTempData(qint64 size) const
{
    // The joined file is one array in memory; past this it would overflow.
    const qint64 maxJoinedSize = qint64(1) << 30;
    return qint64(tempData.size()) + size <= maxJoinedSize;
}

void Bridge::tmpAppendData(QVariant data)
{
    const QByteArray bytes = data.toByteArray();
    if (!joinsTempData(bytes.size())) {
        if (tempDataError.isEmpty())
            tempDataError = tr("The joined file is too large");
        return;
    }
    tempData.append(bytes);
}

void Bridge::tmpAppendFile(QString filepath)
{
    const QString path = urlToLocalPath(filepath);
    QByteArray bytes;
    // The size is checked first, so a huge file is not read in vain.
    if (!joinsTempData(QFileInfo(path).size()) || !readPlainFile(path, &bytes)
            || !joinsTempData(bytes.size())) {
        qDebug() << "can't open src file";
        if (tempDataError.isEmpty())
            tempDataError = LocalFileManager::composeError(QT_TR_NOOP("Can't read source file"), path);
        return;
    }
    tempData.append(bytes);
}

void Bridge::uploadTempFile(QString filename)
{
    if (!publishAccepts())
        return;
    if (!tempDataError.isEmpty()) {
        // A joined file without one of its parts would go out as if complete.
        wrapper->pause();
        onError(tempDataError);
        return;
    }
    wrapper->mkpath(folderOf(filename));
    wrapper->uploadData(filename, tempData);
}

void Bridge::uploadFile(QString url, QString sourceFile)
{
    if (!publishAccepts())
        return;
    const QString source = urlToLocalPath(sourceFile);
    // A pipe or a device would hold the worker for good: neither an exit nor
    // closing the window could end the run then.
    if (QFileInfo::exists(source) && !isPlainFile(source)) {
        wrapper->pause();
        onError(LocalFileManager::composeError(QT_TR_NOOP("Error open file"), source));
        return;
    }
    wrapper->mkpath(folderOf(url));
    wrapper->uploadFile(url, source);
}

void Bridge::uploadData(QString filename, QVariant data)
{
    if (!publishAccepts())
        return;
    wrapper->mkpath(folderOf(filename));
    wrapper->uploadData(filename, data.toByteArray());
}

void Bridge::downloadFile(QString url)
{
    if (publishAccepts())
        wrapper->getFile(url);
}

void Bridge::pbFileUploadStarted(QString file)
{
    emit jsChanged(QStringLiteral("Bridge._fmFile('") + jsEscape(file) + QStringLiteral("')"));
}

void Bridge::pbFileUploadFinished(QString file)
{
    emit jsChanged(QStringLiteral("Bridge._fmUploaded(") + QString::fromUtf8(jsonSerialize(QVariant(file)))
                   + QStringLiteral(")"));
}

void Bridge::pbFileReady(QByteArray file)
{
    if (file.size() > MaxReadSize) {
        // Its Base64 text would not fit in one string of the page.
        if (busy && wrapper)
            wrapper->pause();
        onError(tr("The file read back is larger than %1 MiB and is not handed over.").arg(MaxReadSize >> 20));
        return;
    }
    // Base64 needs no escaping inside a script string, so the call is made in
    // one text of its final size, without a Base64 copy of the whole file.
    const QLatin1String head("Bridge._fmFileReady(\""), tail("\")");
    const int chunk = 3 * 65536;
    QString js;
    js.reserve(head.size() + int((qint64(file.size()) + 2) / 3 * 4) + tail.size());
    js += head;
    for (int offset = 0; offset < file.size(); offset += chunk)
        js += QLatin1String(QByteArray::fromRawData(file.constData() + offset, qMin(chunk, file.size() - offset)).toBase64());
    js += tail;
    emit jsChanged(js);
}

void Bridge::pbClose(QString destUrl)
{
    emit jsChanged(QStringLiteral("Bridge._fmClose(\"") + jsEscape(destUrl) + QStringLiteral("\")"));
    // The wrapper deletes itself after this signal.
    wrapper = nullptr;
    publishRefused = false;
    busy = false;
}

void Bridge::showDestUrl(QString fileName)
{
    if (publishAccepts())
        wrapper->destUrl(fileName);
}

void Bridge::onDestUrl(QString url)
{
    QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}

void Bridge::onError(QString error)
{
    emit jsChanged(QStringLiteral("Bridge._fmError(\"%1\");").arg(jsEscape(error)));
}

void Bridge::pausePublish()
{
    if (busy && wrapper)
        wrapper->pause();
}

void Bridge::exitPublish()
{
    if (busy && wrapper)
        wrapper->exit();
}

void Bridge::resumePublish()
{
    if (busy && wrapper)
        wrapper->resume();
}

void Bridge::openUrl(QString url)
{
    QDesktopServices::openUrl(QUrl(url, QUrl::TolerantMode));
}

QString Bridge::error()
{
    if (busy && wrapper)
        wrapper->pause();
    return errorText;
}
