#include "qnetworkaccessmanagerex.h"

#include <QNetworkReply>

QNetworkAccessManagerEx::QNetworkAccessManagerEx()
    : QNetworkAccessManager(nullptr)
{
}

QNetworkReply *QNetworkAccessManagerEx::createRequest(Operation op, const QNetworkRequest &request,
                                                      QIODevice *outgoingData)
{
    QNetworkReply *reply = QNetworkAccessManager::createRequest(op, request, outgoingData);
    reply->ignoreSslErrors();
    return reply;
}
