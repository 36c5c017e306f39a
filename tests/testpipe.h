#pragma once

// Named pipes for tests of code that must never wait on one: a reader that
// opens the pipe is served by a thread of the test, so code that does wait
// gets its bytes and returns (and the test sees it) instead of hanging.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <QTest>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <thread>

#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TestPipe {

inline bool make(const QString &path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

// A reader may close the pipe before it reads (code that gives up on a file it
// opened), and a write then raises SIGPIPE. The signal is held for this thread
// while it writes and taken back if it came, so the test gets false instead of
// dying. The program under test keeps the default handling.
inline bool writeAll(int fd, const QByteArray &bytes)
{
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    ::pthread_sigmask(SIG_BLOCK, &pipe, &old);
    const bool ok = ::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size();
    if (!ok && errno == EPIPE) {
        const timespec none { 0, 0 };
        while (::sigtimedwait(&pipe, nullptr, &none) == SIGPIPE) { }
    }
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return ok;
}

// A named pipe as a source holds the reader inside one open until the test
// feeds it, which makes "while it reads" exact.
class Fifo
{
public:
    explicit Fifo(const QString &path)
        : path(path)
        , made(make(path))
    {
    }
    ~Fifo() { ::unlink(QFile::encodeName(path).constData()); }

    // Waits (bounded, the event loop running) for a reader, writes the bytes
    // and closes the pipe. True when a reader opened it; whether it read the
    // bytes is the test's to check.
    bool feed(const QByteArray &bytes)
    {
        int fd = -1;
        for (int i = 0; i < 500 && fd < 0; ++i) {
            // Without a reader a non-blocking open fails at once.
            fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_NONBLOCK);
            if (fd < 0)
                QTest::qWait(10);
        }
        if (fd < 0)
            return false;
        ::fcntl(fd, F_SETFL, 0);
        writeAll(fd, bytes);
        ::close(fd);
        return true;
    }

    const QString path;
    const bool made;
};

// Until stopped (or for ten seconds at most), writes the bytes to every reader
// that opens the pipe and closes it again: code that opens the file more than
// once still gets an end each time.
class Feeder
{
public:
    Feeder(const QString &path, const QByteArray &bytes)
        : worker([this, name = QFile::encodeName(path), bytes] {
              for (int i = 0; i < 1000 && !stopping; ++i) {
                  // Without a reader a non-blocking open fails at once.
                  const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK);
                  if (fd >= 0) {
                      ::fcntl(fd, F_SETFL, 0);
                      if (writeAll(fd, bytes))
                          fed = true;
                      ::close(fd);
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(10));
              }
          })
    {
    }
    ~Feeder() { stop(); }

    // Whether some reader opened the pipe and got the bytes.
    bool stop()
    {
        stopping = true;
        if (worker.joinable())
            worker.join();
        return fed;
    }

private:
    std::atomic<bool> stopping { false };
    std::atomic<bool> fed { false };
    std::thread worker;
};

} // namespace TestPipe
