#include "bridge.h"

QVariantMap Bridge::regExportData() { return QVariantMap(); }
void Bridge::regAddLocal(QString) {}
void Bridge::regAddFtp(QVariantMap) {}
void Bridge::regUpdateFtp(int, QVariant) {}
void Bridge::regSetFtpFolder(QVariant) {}
void Bridge::setSettings(QString, QVariant) {}
QVariant Bridge::getSettings(QString) { return QVariant(); }
void Bridge::setError(QString str) { errorText = str; }
