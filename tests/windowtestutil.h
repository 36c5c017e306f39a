#pragma once

// Helpers for the tests of where the main window comes up. Each test program
// sets its own scale before the application object exists.

#include <QGuiApplication>
#include <QRect>
#include <QScreen>
#include <QSettings>
#include <QString>
#include <QWidget>
#include <QtTest>

#include "mainwindow.h"

namespace WindowTest {

inline QRect available()
{
    return QGuiApplication::primaryScreen()->availableGeometry();
}

inline QString frameText(const QWidget &window)
{
    const QRect f = window.frameGeometry();
    return QStringLiteral("frame %1 x %2 at %3,%4").arg(f.width()).arg(f.height()).arg(f.x()).arg(f.y());
}

// The window's geometry as a run before stored it, then a window opened with
// it: it comes up at the expected place and size, and wholly on the screen
// once shown.
inline void checkStoredGeometry(const QRect &stored, const QRect &expected)
{
    {
        QSettings settings;
        settings.beginGroup(QStringLiteral("windowOptions"));
        settings.setValue(QStringLiteral("windowLeft"), stored.x());
        settings.setValue(QStringLiteral("windowTop"), stored.y());
        settings.setValue(QStringLiteral("windowWeight"), stored.width());
        settings.setValue(QStringLiteral("windowHeight"), stored.height());
    }
    MainWindow window(false);
    QCOMPARE(QRect(window.pos(), window.size()), expected);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QVERIFY2(available().contains(window.frameGeometry()), qPrintable(frameText(window)));
}

} // namespace WindowTest
