#include "qwebpageex.h"

QWebPageEx::QWebPageEx(QObject *parent)
    : QWebPage(nullptr)
{
    setParent(parent);
}

void QWebPageEx::javaScriptConsoleMessage(const QString &message, int lineNumber, const QString &sourceID)
{
    emit consoleMessage(message, lineNumber, sourceID);
}
