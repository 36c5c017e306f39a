#pragma once

#include <QByteArray>
#include <QObject>
#include <QRect>
#include <QSharedPointer>
#include <QSize>
#include <QString>
#include <QTemporaryDir>
#include <QVariant>
#include <QVariantList>
#include <QVariantMap>

#include <functional>

class QNetworkReply;
class FileManager;
class FileManagerWrapper;
class FtpCall;

// Escapes a text for a script string literal, single- or double-quoted.
QString jsEscape(const QString &text);

// The one object through which page scripts reach the host. Everything that
// scripts may call is a public slot; the order of signals and slots below is
// the order scripts see in the meta-object and must not change.
class Bridge : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QString error READ error WRITE setError NOTIFY errorChanged)

public:
    explicit Bridge(QObject *parent = nullptr);
    ~Bridge() override;

    // Emits "Bridge.<name>.apply(Bridge,<JSON of args>);" through jsChanged.
    void callJsCallback(const QString &name, const QVariantList &args);

    // Makes the file manager that serves a destination URL (a local folder, or
    // FTP, FTPS, SFTP); null for any other scheme.
    static QSharedPointer<FileManager> createFileManager(const QString &url);

    QString projectDataLocation() const { return projectDataPath; }

    // True while a call waits in a nested event loop: the web view must not be
    // rebuilt under the script that waits. The reload is then remembered and
    // asked for again (needReload) once the outermost wait has returned.
    bool reloadMustWait();
    // A server call (connection test, project file read) is waiting.
    bool remoteCallRunning() const { return runningCall != nullptr; }

signals:
    void errorChanged();
    void fileManagerFinished(QString dest);
    void jsChanged(QString js);
    void makeProjectScreen(QString frameName, QString saveTo, QSize _outSize, QRect _rect);
    void needReload();
    void onDropFiles(QString jsonFiles);
    void onClose();
    void canBeClosed();

public slots:
    void prepareToClose();
    void emitScreenReady(QString url);
    void close();
    QString getArgs();
    void emitDropFiles(QString jsonFiles);
    void quit();
    void stopQuit();
    void reloadWeb();
    void registerRcc(QString rcc_url);
    void emitConsoleMessage(QString message, int lineNumber, QString sourceID);
    void download2_finished(QNetworkReply *reply);
    QString getProjectFile(QString url);
    QString getRecents();
    void clearRecentData();
    void utilizeProject(QString project);
    bool unzip(QString src_zip, QString dest_dir);
    bool zip(QString src, QString dest_zip);
    bool initFileManager(QString url);
    void closeFileManager();
    bool testFtpLocation(QVariant location);
    bool initTempFile();
    bool closeTempFile();
    void tmpAppendData(QVariant data);
    void tmpAppendFile(QString filepath);
    void uploadTempFile(QString filename);
    void uploadFile(QString url, QString sourceFile);
    void uploadData(QString filename, QVariant data);
    void downloadFile(QString url);
    QString openFileDialog(QString caption, QString dir, QString filter);
    QString resizeImage(QString url, int width = -1, int height = -1, bool keepAspectRatio = true,
                        int Quality = 100, QString format = QString());
    QString transformImage(QString url, int width = -1, int height = -1, bool doShrinkLarge = false,
                           bool doStretchSmall = false, bool doKeepAspect = true,
                           QString color = QString(), int Quality = 100, QString format = QString());
    void getScreen(QString saveToUrl, int outW, int outH, int x, int y, int w, int h);
    void onErrorWindow(QString str, bool *cont);
    bool saveLocalFile(QString url, QString data);
    QString loadLocalFile(QString url);
    QString copyLocal(QString src, QString dest);
    bool moveLocal(QString src, QString dest);
    bool removeLocal(QString url);
    bool isExistsLocal(QString url);
    QString dirList(QString url, QString nameFilters = QString(), int filter = 1, bool recursive = true);
    bool saveLocalBase64(QString url, QString data);
    QString loadLocalBase64(QString url);
    QVariantMap regExportData();
    void regAddLocal(QString data);
    void regAddFtp(QVariantMap data);
    void regUpdateFtp(int index, QVariant url);
    void regSetFtpFolder(QVariant folder);
    QString getResourceFile(QVariant path);
    void pbFileUploadStarted(QString file);
    void pbFileUploadFinished(QString file);
    void pbFileReady(QByteArray file);
    void pbClose(QString destUrl);
    void showDestUrl(QString fileName);
    void onDestUrl(QString url);
    void onError(QString error);
    void pausePublish();
    void exitPublish();
    void resumePublish();
    void openUrl(QString url);
    void setSettings(QString name, QVariant val);
    QVariant getSettings(QString name);
    QString error();
    void setError(QString str);
    QString download(QString sUrl, QVariantMap headers);
    QString download2(QString sUrl, QVariantMap headers);
    QString saveTempFile(QByteArray data);
    QString encode(QString value);
    QString decode(QString value);
    QString md5_base64(QString url);
    QString getTempLocation();
    // Forgets the remembered identity (SSH host key, pinned TLS key) of the
    // server a site location names, so that a server whose key was changed
    // on purpose is accepted again at the next log-in.
    bool forgetFtpIdentity(QVariant location);
    // What is remembered of the identity of the server a site location names,
    // for the page to show: an SFTP host key's fingerprint as ssh shows it
    // ("SHA256:..."), an FTPS entry as the store keeps it ("sha256//..." for a
    // pinned key, "authority" for a server an authority vouched for); empty
    // when nothing is remembered (or the store cannot be used).
    QString ftpIdentityFingerprint(QString url);
    // Ends the server call that is waiting (the page's Cancel of a connection
    // test): it returns false with "Cancelled." as its reason. False when no
    // call was waiting.
    bool cancelFtpCall();

private:
    int closeRequests = 0;
    QTemporaryDir tempDir;
    QString projectDataPath;
    FileManagerWrapper *wrapper = nullptr;
    bool busy = false;
    QString errorText;
    QByteArray tempData;
    int downloadCounter = 0;

    // Further private state, one block per area; each area adds only below its own line.
    // -- files and images
    // A new file name in the temporary folder, "<prefix><date>_<time>.<extension>"
    // with "_1", "_2", ... added when taken. The name is reserved by creating the
    // empty file, so no later call (same second or not) gets it again. Empty when
    // the temporary folder is missing.
    QString makeTempFileName(const QString &extension, const QString &prefix = QString());
    // The root, home, the application's data, documents and temporary roots,
    // and every folder that holds one of them: never removed by removeLocal.
    bool isProtectedLocation(const QString &path) const;
    // -- nested waits
    // Held by every slot that waits in a nested event loop (a synchronous
    // download, a server call, a file chooser). Page scripts, timers and host
    // callbacks run meanwhile, on top of the script that waits, so while one
    // is held the page is not rebuilt; the last one to go asks for the
    // reload that was held back.
    class NestedWait
    {
    public:
        // remote: the wait is for a server's answer (see refuseSecondRemoteCall).
        NestedWait(Bridge *bridge, bool remote);
        ~NestedWait();
        NestedWait(const NestedWait &) = delete;
        NestedWait &operator=(const NestedWait &) = delete;

    private:
        Bridge *bridge;
        bool remote;
    };
    int nestedWaits = 0;
    bool reloadHeldBack = false;
    // Calls that wait for a remote answer run one at a time: one started
    // while another waits would have to end before the first could return.
    // True, with the reason in errorText, when one is waiting already.
    bool refuseSecondRemoteCall();
    int remoteWaits = 0;
    // The server call that waits, for cancelFtpCall.
    FtpCall *runningCall = nullptr;
    // Runs a server call as the one remote call, held as a nested wait.
    bool runFtpCall(FtpCall &call, const std::function<bool()> &job);
    // -- settings and projects
    // -- downloads
    // A local file named as a download, copied into the temporary folder; empty
    // text when it cannot be read, is larger than a download may be, or the
    // copy fails.
    QString downloadLocalFile(const QString &sUrl);
    // -- console log
    // -- zip
    // -- publishing
    bool publishRefused = false;   // calls of a refused run are dropped until its close
    QString tempDataError;         // a source that could not be joined into tempData
    bool publishAccepts() const;
    // Whether size more bytes still fit into tempData.
    bool joinsTempData(qint64 size) const;
};
