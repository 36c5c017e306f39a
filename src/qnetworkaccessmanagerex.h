#pragma once

#include <QNetworkAccessManager>

// The page's network access: certificate errors of any reply are ignored, so a site
// whose certificate does not verify still loads.
class QNetworkAccessManagerEx : public QNetworkAccessManager
{
    Q_OBJECT

public:
    QNetworkAccessManagerEx();

protected:
    QNetworkReply *createRequest(Operation op, const QNetworkRequest &request,
                                 QIODevice *outgoingData = nullptr) override;
};
