#include "miscutils.h"

QString urlToLocalPath(const QString &url) { return url; }
QString localPathToUrl(const QString &path) { return QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded); }
initData url2data(const QString &) { return initData(); }
QString data2url(const initData &) { return QString(); }
QString encodeUrlCredentials(const QString &url) { return url; }
QString maskUrlCredentials(const QString &url) { return url; }
