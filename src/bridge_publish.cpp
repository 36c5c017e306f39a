#include "bridge.h"

bool Bridge::initFileManager(QString) { return false; }
void Bridge::closeFileManager() {}
bool Bridge::testFtpLocation(QVariant) { return false; }
bool Bridge::initTempFile() { tempData.clear(); return true; }
bool Bridge::closeTempFile() { tempData.clear(); return true; }
void Bridge::tmpAppendData(QVariant) {}
void Bridge::tmpAppendFile(QString) {}
void Bridge::uploadTempFile(QString) {}
void Bridge::uploadFile(QString, QString) {}
void Bridge::uploadData(QString, QVariant) {}
void Bridge::downloadFile(QString) {}
void Bridge::pbFileUploadStarted(QString) {}
void Bridge::pbFileUploadFinished(QString) {}
void Bridge::pbFileReady(QByteArray) {}
void Bridge::pbClose(QString) {}
void Bridge::showDestUrl(QString) {}
void Bridge::onDestUrl(QString) {}
void Bridge::onError(QString) {}
void Bridge::pausePublish() {}
void Bridge::exitPublish() {}
void Bridge::resumePublish() {}
void Bridge::openUrl(QString) {}
QString Bridge::error() { return errorText; }
