#include "bridge.h"

void Bridge::download2_finished(QNetworkReply *) {}
QString Bridge::download(QString, QVariantMap) { return QString(); }
QString Bridge::download2(QString, QVariantMap) { return QString(); }
