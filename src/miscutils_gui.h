#pragma once

// Helpers of the window side: images, colours, the desktop and XML. They need
// Qt Gui, so they stay out of the core that the transports and the zip code use.

#include <QColor>
#include <QImage>
#include <QPainter>
#include <QSize>
#include <QString>

class QXmlStreamReader;

// Images, canvases and screenshots larger than this on a side are refused: the
// sizes come from scripts, and decoding or painting them would take gigabytes.
constexpr int MaxImageSide = 16384;

// Encodes the image in the format and writes the file whole, or leaves what
// was there.
bool saveImageFile(const QImage &image, const QString &path, const QByteArray &format, int quality = -1);
QImage fitImage(const QImage &source, const QSize &size, const QColor &fill, bool doShrinkLarge,
                bool doStretchSmall, bool doKeepAspect, QPainter::RenderHints hints);

QString colorToText(const QColor &color);
QColor textToColor(const QString &text);
void openExternalUrl(const QString &url);
void skipElement(QXmlStreamReader &reader);
