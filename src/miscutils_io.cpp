#include "miscutils.h"

#include <QTextCodec>
#include <QXmlStreamReader>

bool saveText(const QString &, const QString &, const QString &) { return false; }
QString loadText(const QString &, const QString &) { return QString(); }
void copyDir(const QString &, const QString &, bool) {}
QImage fitImage(const QImage &, const QSize &, const QColor &, bool, bool, bool, QPainter::RenderHints) { return QImage(); }
bool removeDir(const QString &) { return false; }
QTextCodec *detectCodec(const QByteArray &) { return nullptr; }
bool fileExists(const QString &) { return false; }
QByteArray textToBytes(const QString &, const QString &) { return QByteArray(); }
QString colorToText(const QColor &) { return QString(); }
QColor textToColor(const QString &) { return QColor(); }
QString appDirPath() { return QString(); }
void openExternalUrl(const QString &) {}
void skipElement(QXmlStreamReader &) {}
