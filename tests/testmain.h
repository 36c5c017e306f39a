#pragma once

// Test entry shared by every test executable. Before any Qt object exists it
// points HOME, the XDG folders and TMPDIR into a fresh temporary folder, so the
// settings store, data, documents and temporary locations of the program under
// test never touch the real ones. The folder is removed when the test ends.

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdlib>

#include "appinfo.h"

namespace TestEnv {

// The temporary root of this test process; valid for the whole run.
inline QString &root()
{
    static QString path;
    return path;
}

inline void redirect(const QString &base)
{
    root() = base;
    const struct { const char *name; const char *sub; } vars[] = {
        { "HOME", "home" },
        { "XDG_CONFIG_HOME", "home/.config" },
        { "XDG_DATA_HOME", "home/.local/share" },
        { "XDG_CACHE_HOME", "home/.cache" },
        { "XDG_RUNTIME_DIR", "runtime" },
        { "XDG_DOCUMENTS_DIR", "home/Documents" },
        { "TMPDIR", "tmp" },
    };
    for (const auto &v : vars) {
        const QString dir = base + QLatin1Char('/') + QLatin1String(v.sub);
        QDir().mkpath(dir);
        qputenv(v.name, QFile::encodeName(dir));
    }
    QFile::setPermissions(base + QStringLiteral("/runtime"),
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace TestEnv

#define QUILLARY_TEST_MAIN(TestObject)                                                   \
    int main(int argc, char *argv[])                                                     \
    {                                                                                    \
        QTemporaryDir sandbox(QDir::tempPath() + QStringLiteral("/quillary-test-XXXXXX")); \
        if (!sandbox.isValid())                                                          \
            return 2;                                                                    \
        TestEnv::redirect(sandbox.path());                                               \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                              \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                     \
        QApplication app(argc, argv);                                                    \
        AppInfo::apply();                                                                \
        QTEST_DISABLE_KEYPAD_NAVIGATION                                                  \
        TestObject tc;                                                                   \
        QTEST_SET_MAIN_SOURCE_PATH                                                       \
        return QTest::qExec(&tc, argc, argv);                                            \
    }
