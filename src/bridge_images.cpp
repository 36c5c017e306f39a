#include "bridge.h"

QString Bridge::resizeImage(QString, int, int, bool, int, QString) { return QString(); }
QString Bridge::transformImage(QString, int, int, bool, bool, bool, QString, int, QString) { return QString(); }
void Bridge::getScreen(QString, int, int, int, int, int, int) {}
