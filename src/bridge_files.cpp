#include "bridge.h"

QString Bridge::openFileDialog(QString, QString, QString) { return QString(); }
void Bridge::onErrorWindow(QString, bool *) {}
bool Bridge::saveLocalFile(QString, QString) { return false; }
QString Bridge::loadLocalFile(QString) { return QString(); }
QString Bridge::copyLocal(QString, QString) { return QString(); }
bool Bridge::moveLocal(QString, QString) { return false; }
bool Bridge::removeLocal(QString) { return false; }
bool Bridge::isExistsLocal(QString) { return false; }
QString Bridge::dirList(QString, QString, int, bool) { return QString(); }
bool Bridge::saveLocalBase64(QString, QString) { return false; }
QString Bridge::loadLocalBase64(QString) { return QString(); }
QString Bridge::getResourceFile(QVariant) { return QString(); }
QString Bridge::saveTempFile(QByteArray) { return QString(); }
QString Bridge::md5_base64(QString) { return QString(); }
QString Bridge::getTempLocation() { return tempDir.path(); }
