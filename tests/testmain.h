#pragma once

// Test entry shared by every test executable. Before any Qt object exists it
// points HOME, the XDG folders and TMPDIR into a fresh temporary folder, so the
// settings store, data, documents and temporary locations of the program under
// test never touch the real ones. The folder is removed when the test ends.
//
// Users are not root, so neither are the tests: a test process started as root
// becomes the ordinary user "nobody" (uid and gid 65534, no supplementary
// groups, no capabilities) before anything else happens, and every file,
// permission and socket check runs as that user. Only the saved user id stays
// 0, so that a RootScope can start, signal and stop the test servers (which
// must run as root, like a real host's) and prepare what only root can, such
// as a small mounted file system. Nothing of the program under test runs
// inside a RootScope.

#include <QApplication>
#include <QByteArray>
#include <QDir>
#include <QTemporaryDir>
#include <QtTest>

#include <cstdio>
#include <cstdlib>
#include <grp.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include "appinfo.h"

namespace TestEnv {

// The temporary root of this test process; valid for the whole run.
inline QString &root()
{
    static QString path;
    return path;
}

constexpr uid_t kUser = 65534;
constexpr gid_t kGroup = 65534;

// True when this process began as root and now runs as the ordinary user.
inline bool &droppedRoot()
{
    static bool dropped = false;
    return dropped;
}

// Becomes "nobody", keeping root only as the saved user id. Called once,
// first thing in main(); does nothing for a test started as an ordinary user.
// A change of user ids makes the process undumpable, which stops the leak
// checker of sanitizer builds (it traces the process) and debuggers.
inline void keepDumpable()
{
    ::prctl(PR_SET_DUMPABLE, 1, 0, 0, 0);
}

inline bool becomeUser()
{
    if (::geteuid() != 0)
        return true;
    if (::setgroups(0, nullptr) != 0 || ::setresgid(kGroup, kGroup, 0) != 0
        || ::setresuid(kUser, kUser, 0) != 0)
        return false;
    droppedRoot() = true;
    keepDumpable();
    return true;
}

// Gives up the saved root for good, once the test servers are stopped. The
// leak checker of sanitizer builds inspects the process at exit from a helper
// of the same user, and the kernel lets it only when no id of the process is
// still root.
inline void releaseRoot()
{
    if (!droppedRoot())
        return;
    if (::setresgid(kGroup, kGroup, kGroup) != 0 || ::setresuid(kUser, kUser, kUser) != 0)
        std::abort();
    droppedRoot() = false;
    keepDumpable();
}

// Root for the length of a scope: for test servers and test fixtures only.
// ok() is false when the test was not started as root.
class RootScope
{
public:
    RootScope()
    {
        if (!droppedRoot() || depth()++ > 0)
            return;
        if (::setresuid(0, 0, 0) != 0 || ::setresgid(0, 0, 0) != 0)
            std::abort();
        keepDumpable();
    }
    ~RootScope()
    {
        if (!droppedRoot() || --depth() > 0)
            return;
        // The group first, while still root.
        if (::setresgid(kGroup, kGroup, 0) != 0 || ::setresuid(kUser, kUser, 0) != 0)
            std::abort();
        keepDumpable();
    }
    bool ok() const { return ::geteuid() == 0; }
    RootScope(const RootScope &) = delete;
    RootScope &operator=(const RootScope &) = delete;

private:
    static int &depth()
    {
        static int n = 0;
        return n;
    }
};

// A folder under the build tree where a test may leave files for people to
// look at (screenshots); writable by the test user.
inline QString outputDir(const QString &sub)
{
    const QString dir = QStringLiteral(QUILLARY_BINARY_DIR "/test-output/") + sub;
    QDir().mkpath(dir);
    return dir;
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

// Run before becomeUser(): the build tree belongs to root, so the shared
// output folder is made open to the test user (sticky, like /tmp).
// The test user must reach the source and build trees (test data, the program
// it starts, the test bundle). A checkout below a private folder such as
// /root is not reachable for it: such folders get search permission for
// others (no listing, no reading), and the test says so.
inline void openPathForUser(const QByteArray &path)
{
    QByteArray dir = path;
    while (!dir.isEmpty() && dir != "/") {
        struct stat st;
        if (::stat(dir.constData(), &st) == 0 && S_ISDIR(st.st_mode) && !(st.st_mode & S_IXOTH)) {
            ::chmod(dir.constData(), (st.st_mode & 07777) | S_IXOTH);
            fprintf(stderr, "test user: gave %s search permission for others\n", dir.constData());
        }
        const int slash = dir.lastIndexOf('/');
        dir = dir.left(slash > 0 ? slash : 0);
    }
}

inline void prepareOutput()
{
    if (::geteuid() != 0)
        return;
    openPathForUser(QByteArrayLiteral(QUILLARY_SOURCE_DIR));
    openPathForUser(QByteArrayLiteral(QUILLARY_BINARY_DIR));
    const QByteArray dir = QByteArrayLiteral(QUILLARY_BINARY_DIR "/test-output");
    QDir().mkpath(QString::fromLocal8Bit(dir));
    ::chmod(dir.constData(), 01777);
}

} // namespace TestEnv

#define QUILLARY_TEST_MAIN(TestObject)                                                   \
    int main(int argc, char *argv[])                                                     \
    {                                                                                    \
        TestEnv::prepareOutput();                                                        \
        if (!TestEnv::becomeUser())                                                      \
            return 2;                                                                    \
        QTemporaryDir sandbox(QDir::tempPath() + QStringLiteral("/quillary-test-XXXXXX")); \
        if (!sandbox.isValid())                                                          \
            return 2;                                                                    \
        TestEnv::redirect(sandbox.path());                                               \
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))                              \
            qputenv("QT_QPA_PLATFORM", "offscreen");                                     \
        int result = 0;                                                                  \
        {                                                                                \
            QApplication app(argc, argv);                                                \
            AppInfo::apply();                                                            \
            QTEST_DISABLE_KEYPAD_NAVIGATION                                              \
            TestObject tc;                                                               \
            QTEST_SET_MAIN_SOURCE_PATH                                                   \
            result = QTest::qExec(&tc, argc, argv);                                      \
        }                                                                                \
        TestEnv::releaseRoot();                                                          \
        return result;                                                                   \
    }
