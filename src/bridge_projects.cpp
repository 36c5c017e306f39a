#include "bridge.h"

QString Bridge::getProjectFile(QString) { return QString(); }
QString Bridge::getRecents() { return QString(); }
void Bridge::clearRecentData() {}
void Bridge::utilizeProject(QString) {}
FileManager *Bridge::createFileManager(const QString &) { return nullptr; }
