#pragma once

#include <QMainWindow>
#include <QMenu>
#include <QPoint>
#include <QPointer>
#include <QRect>
#include <QSize>
#include <QString>

#include "bridge.h"

class QCloseEvent;
class QDragEnterEvent;
class QDropEvent;
class QShowEvent;
class QGridLayout;
class LocalConnection;
class QLocalServer;
class QTimer;
class QWebView;
class QWebPageEx;

// The program's one top-level window: it owns the Bridge and the web view, runs the
// local server that receives paths from later starts, and keeps its geometry in the
// settings store from one run to the next.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(bool runServer, QWidget *parent = nullptr);
    ~MainWindow() override;

    Bridge *bridge() { return &m_bridge; }
    QWebView *webView() const { return m_webView; }
    QWebPageEx *page() const { return m_page; }
    QLocalServer *localServer() const { return m_server; }

    // The path or URL text of a "file" URL as the page receives it: Qt's default,
    // percent-decoded form.
    static QString fileUrlText(const QUrl &url);

    // Connections of later starts read at the same time; one more makes room by
    // dropping the oldest that has sent nothing.
    static const int MaxLocalConnections = 16;

signals:
    void onDropFiles(QString jsonFiles);

public slots:
    void closeEvent(QCloseEvent *event) override;
    void showContextMenu(QPoint point);
    void cmCopy();
    void cmPaste();
    void cmCut();
    void cmSelectAll();
    void addJsObject();

protected:
    void dragEnterEvent(QDragEnterEvent *event) override;
    void dropEvent(QDropEvent *event) override;
    void showEvent(QShowEvent *event) override;

private slots:
    void handleConnection();
    void execJs(QString js);
    void reloadWeb();
    void initWeb();
    void getProjectScreen(QString frameName, QString saveToUrl, QSize _outSize, QRect _rect);

private:
    void buildForm();
    void restoreGeometryFromSettings();
    // Keeps the window with its frame within its screen's free area.
    void fitIntoScreen();
    bool m_fittedOnce = false;
    void saveGeometryToSettings();
    void deliverPath(const QByteArray &message);
    QString hostScript() const;
    void detachPage();

    QLocalServer *m_server = nullptr;
    // The connections being read, oldest first; at most MaxLocalConnections.
    QList<QPointer<LocalConnection>> m_connections;
    QTimer *m_serverWatch = nullptr;
    void watchServer();
    Bridge m_bridge;
    QWebPageEx *m_page = nullptr;
    QMenu m_contextMenu;
    QWidget *m_centralWidget = nullptr;
    QGridLayout *m_gridLayout = nullptr;
    QWebView *m_webView = nullptr;
};
