#include "mainwindow.h"

#include <QFile>
#include <QFileInfo>

#include <QCloseEvent>
#include <QCoreApplication>
#include <QDebug>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QGridLayout>
#include <QGuiApplication>
#include <QImage>
#include <QLocalServer>
#include <QLocalSocket>
#include <QMimeData>
#include <QPainter>
#include <QRegularExpression>
#include <QScreen>
#include <QShowEvent>
#include <QSettings>
#include <QStandardPaths>
#include <QTimer>
#include <QWebFrame>
#include <QWebHistory>
#include <QWebSettings>
#include <QWebView>
#include <QWindow>

#include "json.h"
#include "localconnection.h"
#include "miscutils.h"
#include "miscutils_gui.h"
#include "privatefile.h"
#include "qnetworkaccessmanagerex.h"
#include "qwebpageex.h"
#include "settingssync.h"
#include "singleinstance.h"

// The host script and the window icons are compiled in; registering them before
// main() runs lets every window (and every test) find ":/oldbridge.js".
static void initHostResources()
{
    Q_INIT_RESOURCE(resources);
}
Q_CONSTRUCTOR_FUNCTION(initHostResources)

namespace {

const char *const StartPage = "qrc:/web/index.html";
const char *const HostScript = ":/oldbridge.js";

// Only documents of the program's own bundle and local files get the host: _Bridge_
// reaches the whole disk, so a remote page must never see it.
bool mayUseHost(const QUrl &url)
{
    const QString scheme = url.scheme().toLower();
    return scheme == QLatin1String("qrc") || scheme == QLatin1String("file");
}

} // namespace

MainWindow::MainWindow(bool runServer, QWidget *parent)
    : QMainWindow(parent)
{
    buildForm();
    setWindowTitle(QCoreApplication::applicationName() + QLatin1Char(' ')
                   + QCoreApplication::applicationVersion());

    if (runServer) {
        m_server = new QLocalServer(this);
        if (!SingleInstance::listen(m_server)) {
            qDebug() << "unable to start server with reason :" << m_server->errorString();
            delete m_server;
            m_server = nullptr;
        } else {
            connect(m_server, &QLocalServer::newConnection, this, &MainWindow::handleConnection);
            // Qt closes the server for good when accepting fails (no descriptors
            // left, for one): it is put back as soon as it can be.
            m_serverWatch = new QTimer(this);
            m_serverWatch->setInterval(1000);
            connect(m_serverWatch, &QTimer::timeout, this, &MainWindow::watchServer);
            m_serverWatch->start();
        }
    }

    restoreGeometryFromSettings();
    initWeb();
    setAcceptDrops(true);

    connect(m_contextMenu.addAction(tr("Copy")), &QAction::triggered, this, &MainWindow::cmCopy);
    connect(m_contextMenu.addAction(tr("Paste")), &QAction::triggered, this, &MainWindow::cmPaste);
    connect(m_contextMenu.addAction(tr("Cut")), &QAction::triggered, this, &MainWindow::cmCut);
    connect(m_contextMenu.addAction(tr("Select all")), &QAction::triggered, this, &MainWindow::cmSelectAll);

    connect(&m_bridge, &Bridge::needReload, this, &MainWindow::reloadWeb, Qt::QueuedConnection);
    connect(&m_bridge, &Bridge::jsChanged, this, &MainWindow::execJs, Qt::DirectConnection);
    connect(&m_bridge, &Bridge::makeProjectScreen, this, &MainWindow::getProjectScreen,
            Qt::QueuedConnection);
    connect(this, &MainWindow::onDropFiles, &m_bridge, &Bridge::emitDropFiles, Qt::QueuedConnection);
}

MainWindow::~MainWindow()
{
    saveGeometryToSettings();
    // The page reports its aborted load while it is torn down; by then the bridge
    // is gone, so the view goes first, cut off from this window.
    if (m_page)
        detachPage();
    delete m_webView;
    m_webView = nullptr;
    m_page = nullptr;
}

void MainWindow::buildForm()
{
    if (objectName().isEmpty())
        setObjectName(QStringLiteral("MainWindow"));
    resize(800, 600);
    // Below this the editor's header and page fields no longer fit side by
    // side; a screen smaller than that (a small one at a large scale) still
    // gets a window that fits it.
    QSize least(640, 420);
    if (const QScreen *screen = QGuiApplication::primaryScreen())
        least = least.boundedTo(screen->availableGeometry().size());
    setMinimumSize(least);
    setAutoFillBackground(true);
    setWindowTitle(QStringLiteral("MainWindow"));
    m_centralWidget = new QWidget(this);
    m_centralWidget->setObjectName(QStringLiteral("centralwidget"));
    m_gridLayout = new QGridLayout(m_centralWidget);
    m_gridLayout->setObjectName(QStringLiteral("gridLayout"));
    m_gridLayout->setHorizontalSpacing(6);
    m_gridLayout->setContentsMargins(0, 0, 0, 0);
    setCentralWidget(m_centralWidget);
}

QString MainWindow::fileUrlText(const QUrl &url)
{
    return url.toString();
}

void MainWindow::restoreGeometryFromSettings()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("windowOptions"));
    const int screenNumber = settings.value(QStringLiteral("windowScreenNumber"), 0).toInt();
    const QList<QScreen *> screens = QGuiApplication::screens();
    const bool knownScreen = screenNumber >= 0 && screenNumber < screens.size();
    if (windowHandle() && knownScreen)
        windowHandle()->setScreen(screens.at(screenNumber));

    const bool maximized = settings.value(QStringLiteral("windowIsMaximized"), false).toBool();
    const int width = settings.value(QStringLiteral("windowWeight"), 0).toInt();
    const int height = settings.value(QStringLiteral("windowHeight"), 0).toInt();
    const int left = settings.value(QStringLiteral("windowLeft"), 0).toInt();
    const int top = settings.value(QStringLiteral("windowTop"), 0).toInt();
    settings.endGroup();

    // The stored size came from another screen, resolution or scale, and the
    // form's own may be larger than a small screen: the window is kept within
    // the screen's free area, so that every part of the page can be reached.
    QScreen *screen = knownScreen ? screens.at(screenNumber) : QGuiApplication::primaryScreen();
    const QRect available = screen ? screen->availableGeometry() : QRect();
    const bool stored = width > 0 && height > 0;
    QSize wanted = stored ? QSize(width, height) : size();
    if (available.isValid())
        wanted = wanted.boundedTo(available.size());
    resize(wanted);
    if (stored) {
        QPoint at(left, top);
        if (available.isValid()) {
            // The size the window took: never below its least size.
            const QSize taken = size();
            at.setX(qBound(available.left(), at.x(), available.right() + 1 - taken.width()));
            at.setY(qBound(available.top(), at.y(), available.bottom() + 1 - taken.height()));
        }
        move(at);
    }
    if (maximized)
        showMaximized();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    // The frame is known once the window is on the screen; the first time it
    // shows, window and frame together are brought within the screen.
    if (!m_fittedOnce && !isMaximized() && !isFullScreen()) {
        m_fittedOnce = true;
        fitIntoScreen();
    }
}

void MainWindow::fitIntoScreen()
{
    QScreen *screen = windowHandle() ? windowHandle()->screen() : QGuiApplication::primaryScreen();
    if (!screen)
        return;
    const QRect available = screen->availableGeometry();
    const QRect frame = frameGeometry();
    const QSize extra = frame.size() - size();
    const QSize inner = size().boundedTo(available.size() - extra);
    if (inner.width() <= 0 || inner.height() <= 0)
        return;
    if (inner != size()) {
        // The least size gives way to a screen too small for it.
        setMinimumSize(minimumSize().boundedTo(inner));
        resize(inner);
    }
    const QSize outer = inner + extra;
    const int x = qBound(available.left(), frame.x(), available.right() + 1 - outer.width());
    const int y = qBound(available.top(), frame.y(), available.bottom() + 1 - outer.height());
    if (QPoint(x, y) != frame.topLeft())
        move(x, y);
}

void MainWindow::saveGeometryToSettings()
{
    QSettings settings;
    settings.beginGroup(QStringLiteral("windowOptions"));
    int screenNumber = 0;
    if (QWindow *window = windowHandle())
        screenNumber = qMax(0, QGuiApplication::screens().indexOf(window->screen()));
    settings.setValue(QStringLiteral("windowScreenNumber"), screenNumber);
    // A maximized window keeps the size it had before: that is the one to
    // come back to when it is made normal again in the next run.
    QPoint at = pos();
    QSize normalSize = size();
    if ((isMaximized() || isFullScreen()) && normalGeometry().isValid()) {
        const QRect normal = normalGeometry();
        at = normal.topLeft() - (geometry().topLeft() - pos());
        normalSize = normal.size();
    }
    settings.setValue(QStringLiteral("windowLeft"), at.x());
    settings.setValue(QStringLiteral("windowTop"), at.y());
    settings.setValue(QStringLiteral("windowWeight"), normalSize.width());
    settings.setValue(QStringLiteral("windowHeight"), normalSize.height());
    settings.setValue(QStringLiteral("windowIsMaximized"), isMaximized());
    settings.endGroup();
    // The same file holds stored FTP credentials: private to the user from
    // the first byte, also when the window is the first to create it.
    createPrivateFile(settings.fileName());
    syncSettingsWhole(settings);
    QFile::setPermissions(settings.fileName(), QFileDevice::ReadOwner | QFileDevice::WriteOwner);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // The page decides: it saves its work and asks the bridge to quit.
    event->ignore();
    m_bridge.prepareToClose();
}

void MainWindow::showContextMenu(QPoint point)
{
    m_contextMenu.popup(mapToGlobal(point + m_webView->pos()));
}

void MainWindow::cmCopy()
{
    m_webView->triggerPageAction(QWebPage::Copy);
}

void MainWindow::cmPaste()
{
    m_webView->triggerPageAction(QWebPage::Paste);
}

void MainWindow::cmCut()
{
    m_webView->triggerPageAction(QWebPage::Cut);
}

void MainWindow::cmSelectAll()
{
    m_webView->triggerPageAction(QWebPage::SelectAll);
}

void MainWindow::dragEnterEvent(QDragEnterEvent *event)
{
    if (event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void MainWindow::dropEvent(QDropEvent *event)
{
    if (!event->mimeData()->hasUrls())
        return;
    QVariantList files;
    for (const QUrl &url : event->mimeData()->urls()) {
        if (url.scheme().compare(QLatin1String("file"), Qt::CaseInsensitive) == 0)
            files << fileUrlText(url);
    }
    if (!files.isEmpty())
        emit onDropFiles(QString::fromUtf8(jsonSerialize(QVariant(files))));
}

void MainWindow::handleConnection()
{
    // Each connection is read as its bytes arrive; the window keeps running meanwhile.
    while (m_server && m_server->hasPendingConnections()) {
        QLocalSocket *socket = m_server->nextPendingConnection();
        if (!socket)
            break;
        if (!SingleInstance::peerIsThisUser(socket)) {
            socket->abort();
            socket->deleteLater();
            continue;
        }
        m_connections.removeAll(nullptr);
        if (m_connections.size() >= MaxLocalConnections) {
            LocalConnection *idle = nullptr;
            for (const QPointer<LocalConnection> &open : qAsConst(m_connections)) {
                if (open && !open->hasReceived()) {
                    idle = open;
                    break;
                }
            }
            if (!idle) {
                socket->abort();
                socket->deleteLater();
                continue;
            }
            m_connections.removeAll(idle);
            idle->drop();
        }
        auto *connection = new LocalConnection(socket, this);
        m_connections << connection;
        connect(connection, &LocalConnection::messageReceived, this, &MainWindow::deliverPath);
    }
}

void MainWindow::watchServer()
{
    // After a failed accept Qt has closed the socket and removed its file, but
    // the server still counts as listening: the missing file tells.
    if (!m_server
            || (m_server->isListening() && QFileInfo::exists(m_server->fullServerName())))
        return;
    m_server->close();
    const QString name = SingleInstance::serverName();
    if (name.isEmpty())
        return;
    if (m_server->listen(name)) {
        qDebug() << "the local server listens again";
    } else if (m_server->serverError() == QAbstractSocket::AddressInUseError) {
        // Another instance serves the name now.
        qDebug() << "the local server gave way to another instance";
        m_serverWatch->stop();
    }
}

void MainWindow::deliverPath(const QByteArray &message)
{
    // A later start without a path connects and sends nothing: nothing to open.
    if (message.isEmpty())
        return;
    const QString url = fileUrlText(QUrl::fromLocalFile(QString::fromUtf8(message)));
    execJs(QStringLiteral("Bridge.onLoadRequest('") + jsEscape(url) + QStringLiteral("');"));
}

void MainWindow::execJs(QString js)
{
    if (m_page)
        m_page->mainFrame()->evaluateJavaScript(js);
}

void MainWindow::reloadWeb()
{
    // Never under a script that waits in a nested event loop: the bridge asks
    // again once that wait has returned.
    if (m_bridge.reloadMustWait())
        return;
    initWeb();
}

void MainWindow::initWeb()
{
    if (m_webView) {
        disconnect(m_webView, nullptr, this, nullptr);
        if (m_page) {
            detachPage();
            m_page->triggerAction(QWebPage::Stop);
        }
        m_gridLayout->removeWidget(m_webView);
        m_webView->hide();
        m_webView->deleteLater();
        m_webView = nullptr;
        m_page = nullptr;
    }

    m_webView = new QWebView(m_centralWidget);
    m_webView->setObjectName(QStringLiteral("webView"));
    QSizePolicy policy(QSizePolicy::Preferred, QSizePolicy::Preferred);
    policy.setHorizontalStretch(0);
    policy.setVerticalStretch(0);
    policy.setHeightForWidth(m_webView->sizePolicy().hasHeightForWidth());
    m_webView->setSizePolicy(policy);
    m_webView->setAutoFillBackground(false);
    m_webView->setUrl(QUrl(QStringLiteral("about:blank")));
    m_gridLayout->addWidget(m_webView, 0, 0, 1, 1);
    m_webView->setAcceptDrops(false);

    m_page = new QWebPageEx(m_webView);
    m_webView->setPage(m_page);

    // The page does not own its network access. It lives until its page is gone
    // (replies may still be finishing while the page is torn down), and the
    // window frees whatever is left at the end.
    auto *network = new QNetworkAccessManagerEx();
    network->setParent(this);
    m_page->setNetworkAccessManager(network);
    connect(m_page, &QObject::destroyed, network, &QObject::deleteLater);

    QWebSettings *settings = QWebSettings::globalSettings();
    settings->setAttribute(QWebSettings::LocalContentCanAccessRemoteUrls, true);
    settings->setAttribute(QWebSettings::AcceleratedCompositingEnabled, false);

    connect(m_page->mainFrame(), &QWebFrame::loadFinished, this, &MainWindow::addJsObject);
    m_webView->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(m_webView, &QWidget::customContextMenuRequested, this, &MainWindow::showContextMenu);
    connect(m_page, &QWebPageEx::consoleMessage, &m_bridge, &Bridge::emitConsoleMessage,
            Qt::QueuedConnection);

    m_webView->load(QUrl(QLatin1String(StartPage)));
}

// Cuts the page off from this window and the bridge; its own clean-up (the network
// access that follows it) stays connected.
void MainWindow::detachPage()
{
    disconnect(m_page, nullptr, this, nullptr);
    disconnect(m_page, nullptr, &m_bridge, nullptr);
    disconnect(m_page->mainFrame(), nullptr, this, nullptr);
}

QString MainWindow::hostScript() const
{
    const QStringList args = QCoreApplication::arguments();
    const QString initPath = args.size() > 1
            ? localPathToUrl(QString::fromUtf8(SingleInstance::messageFor(args.at(1)))) : QString();
    const QHash<QString, QString> values = {
        { QStringLiteral("APP_NAME"), QCoreApplication::applicationName() },
        { QStringLiteral("INIT_PATH"), initPath },
        { QStringLiteral("APP_VER"), QCoreApplication::applicationVersion() },
        { QStringLiteral("DEV"), QStringLiteral("false") },
        { QStringLiteral("TEMP_LOCATION"),
          localPathToUrl(const_cast<Bridge &>(m_bridge).getTempLocation()) },
        { QStringLiteral("DATA_LOCATION"),
          localPathToUrl(QStandardPaths::writableLocation(QStandardPaths::DataLocation)) },
        { QStringLiteral("DOC_LOCATION"),
          localPathToUrl(QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation)) },
    };

    // One pass over the script: a value that itself holds "@DEV@" stays as it is.
    // The values land in string literals, hence the escaping.
    const QString script = loadText(QLatin1String(HostScript), QStringLiteral("UTF-8"));
    static const QRegularExpression placeholder(
            QStringLiteral("@(APP_NAME|INIT_PATH|APP_VER|DEV|TEMP_LOCATION|DATA_LOCATION|DOC_LOCATION)@"));
    QString filled;
    filled.reserve(script.size());
    int last = 0;
    QRegularExpressionMatchIterator it = placeholder.globalMatch(script);
    while (it.hasNext()) {
        const QRegularExpressionMatch match = it.next();
        filled += script.midRef(last, match.capturedStart() - last);
        filled += jsEscape(values.value(match.captured(1)));
        last = match.capturedEnd();
    }
    filled += script.midRef(last);
    return filled;
}

void MainWindow::addJsObject()
{
    if (!m_page)
        return;
    if (QScreen *screen = QGuiApplication::primaryScreen())
        m_webView->setZoomFactor(screen->logicalDotsPerInchX() / 96.0);

    QWebFrame *frame = m_page->mainFrame();
    const QUrl url = frame->url().isEmpty() ? frame->requestedUrl() : frame->url();
    if (mayUseHost(url)) {
        const QString script = hostScript();
        frame->addToJavaScriptWindowObject(QStringLiteral("_Bridge_"), &m_bridge, QWebFrame::QtOwnership);
        frame->evaluateJavaScript(script);
    } else {
        qDebug() << "no host access for" << url.toString(QUrl::RemoveUserInfo);
    }
    m_page->history()->clear();
}

void MainWindow::getProjectScreen(QString frameName, QString saveToUrl, QSize _outSize, QRect _rect)
{
    Q_UNUSED(frameName);
    const QString path = urlToLocalPath(saveToUrl);
    if (!m_page) {
        m_bridge.emitScreenReady(QString());
        return;
    }
    QWebFrame *frame = m_page->mainFrame();
    const QSize viewport = m_page->viewportSize();

    QRect cut = _rect;
    if (cut.width() == 0 || cut.height() == 0)
        cut.setSize(viewport - QSize(cut.left(), cut.top()));
    QSize outSize = _outSize;
    if (outSize.width() == 0)
        outSize.setWidth(cut.width());
    if (outSize.height() == 0)
        outSize.setHeight(cut.height());

    // A negative or huge size is an error in the request, answered as a failure.
    const auto acceptable = [](const QSize &size) {
        return size.width() > 0 && size.height() > 0 && size.width() <= MaxImageSide
                && size.height() <= MaxImageSide;
    };
    if (!acceptable(outSize) || !acceptable(cut.size()) || viewport.isEmpty()
            || !acceptable(viewport)) {
        m_bridge.emitScreenReady(QString());
        return;
    }

    QImage rendering(viewport, QImage::Format_ARGB32);
    rendering.fill(Qt::white);
    QPainter framePainter(&rendering);
    frame->render(&framePainter, QWebFrame::AllLayers);
    framePainter.end();

    QImage output(outSize, QImage::Format_ARGB32);
    output.fill(Qt::transparent);
    QPainter painter(&output);
    // High-quality antialiasing (flag 8), named by value since Qt marks the name obsolete.
    painter.setRenderHint(QPainter::RenderHint(0x08), true);
    painter.drawImage(QRect(QPoint(0, 0), outSize), rendering, cut);
    painter.end();

    const bool saved = !path.isEmpty()
            && saveImageFile(output, path, QFileInfo(path).suffix().toLower().toLatin1());
    m_bridge.emitScreenReady(saved ? saveToUrl : QString());
}
