#pragma once

#include <QWebPage>

// The page of the web view; it hands the scripts' console messages on as a signal.
class QWebPageEx : public QWebPage
{
    Q_OBJECT

public:
    explicit QWebPageEx(QObject *parent = nullptr);

signals:
    void consoleMessage(QString message, int lineNumber, QString sourceID);

protected:
    void javaScriptConsoleMessage(const QString &message, int lineNumber, const QString &sourceID) override;
};
