#pragma once

// Named pipes for tests of code that must never wait on one: a reader that
// opens the pipe is served by a thread of the test, so code that does wait
// gets its bytes and returns (and the test sees it) instead of hanging.

#include <QByteArray>
#include <QFile>
#include <QString>

#include <atomic>
#include <chrono>
#include <thread>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TestPipe {

inline bool make(const QString &path)
{
    return ::mkfifo(QFile::encodeName(path).constData(), 0600) == 0;
}

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
                      if (::write(fd, bytes.constData(), size_t(bytes.size())) == bytes.size())
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
