#pragma once

// A TCP relay on 127.0.0.1 in front of a test server that holds every chunk
// it passes for a fixed time in each direction: 10 ms each way makes a link
// with 20 ms round trips (tc netem is not available here), enough to show
// what costs a round trip per request. The link's bandwidth is not limited:
// chunks are held, not paced, so a stream keeps flowing.
//
// In FTP mode the server's passive-mode replies (227 and 229) are rewritten
// so that each data connection goes through a relay of its own with the
// same delay. With a delay of 0 the relay only counts connections (for
// TLS-protected control connections, whose replies cannot be read).

#include <QByteArray>
#include <QRegularExpression>

#include "loopback.h"

#include <arpa/inet.h>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <set>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

class DelayRelay
{
public:
    DelayRelay(int targetPort, bool ftp, int delayMs)
        : shared(std::make_shared<Shared>())
    {
        shared->target = targetPort;
        shared->ftp = ftp;
        shared->delay = std::chrono::milliseconds(delayMs);
        listener = Loopback::listen(&port_, false);
        if (listener < 0)
            return;
        shared->track(listener);
        std::shared_ptr<Shared> s = shared;
        const int fd = listener;
        startThread(s, [s, fd]() {
            for (;;) {
                const int client = ::accept(fd, nullptr, nullptr);
                if (client < 0) {
                    if (errno == EINTR)
                        continue;
                    return;
                }
                if (s->stopping) {
                    ::close(client);
                    return;
                }
                ++s->accepted;
                relay(s, client, s->target, s->ftp);
            }
        });
    }
    ~DelayRelay()
    {
        shared->stop();
        if (listener >= 0)
            shared->untrackAndClose(listener);
    }
    DelayRelay(const DelayRelay &) = delete;
    DelayRelay &operator=(const DelayRelay &) = delete;

    bool ok() const { return listener >= 0; }
    int port() const { return port_; }
    // Connections accepted on the relay's own port (control connections).
    int connections() const { return shared->accepted; }

private:
    using Clock = std::chrono::steady_clock;

    struct Shared
    {
        int target = 0;
        bool ftp = false;
        std::chrono::milliseconds delay { 10 };
        std::atomic<int> accepted { 0 };
        std::atomic<bool> stopping { false };
        std::atomic<int> threads { 0 };
        std::mutex mutex;
        std::set<int> sockets;

        void track(int fd)
        {
            std::lock_guard<std::mutex> lock(mutex);
            sockets.insert(fd);
        }
        void untrackAndClose(int fd)
        {
            {
                std::lock_guard<std::mutex> lock(mutex);
                sockets.erase(fd);
            }
            ::close(fd);
        }
        // Wakes every blocked thread (shutdown ends accept, read and write)
        // and waits, bounded, until they are gone.
        void stop()
        {
            stopping = true;
            {
                std::lock_guard<std::mutex> lock(mutex);
                for (int fd : sockets)
                    ::shutdown(fd, SHUT_RDWR);
            }
            for (int i = 0; i < 500 && threads > 0; ++i)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    };

    // One direction of one connection: chunks with the time they may leave.
    struct Pipe
    {
        std::mutex mutex;
        std::condition_variable ready;
        std::deque<std::pair<Clock::time_point, QByteArray>> chunks;
        bool ended = false;
    };

    // Both sockets of a connection; closed when both directions are done.
    struct Connection
    {
        std::shared_ptr<Shared> shared;
        int a = -1, b = -1;
        std::atomic<int> open { 2 };
        void directionDone()
        {
            if (--open == 0) {
                shared->untrackAndClose(a);
                shared->untrackAndClose(b);
            }
        }
    };

    template<typename F>
    static void startThread(const std::shared_ptr<Shared> &s, F body)
    {
        ++s->threads;
        std::thread([s, body]() {
            body();
            --s->threads;
        }).detach();
    }

    // Small writes leave at once: the only delay is the one the relay adds.
    static void noDelay(int fd)
    {
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
    }

    static int connectTo(int port)
    {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return -1;
        const sockaddr_in address = Loopback::address(port);
        if (::connect(fd, reinterpret_cast<const sockaddr *>(&address), sizeof(address)) != 0) {
            ::close(fd);
            return -1;
        }
        noDelay(fd);
        return fd;
    }

    // Relays the accepted client to the target port, both ways.
    static void relay(const std::shared_ptr<Shared> &s, int client, int targetPort, bool ftpControl)
    {
        noDelay(client);
        const int server = connectTo(targetPort);
        if (server < 0) {
            ::close(client);
            return;
        }
        auto connection = std::make_shared<Connection>();
        connection->shared = s;
        connection->a = client;
        connection->b = server;
        s->track(client);
        s->track(server);
        direction(s, connection, client, server, false);
        direction(s, connection, server, client, ftpControl);
    }

    static void direction(const std::shared_ptr<Shared> &s, const std::shared_ptr<Connection> &connection,
                          int from, int to, bool rewritePassive)
    {
        auto pipe = std::make_shared<Pipe>();
        startThread(s, [s, pipe, from, rewritePassive]() {
            QByteArray partial;
            QByteArray buffer(256 * 1024, Qt::Uninitialized);
            for (;;) {
                const ssize_t n = ::read(from, buffer.data(), size_t(buffer.size()));
                if (n < 0 && errno == EINTR)
                    continue;
                const Clock::time_point due = Clock::now() + s->delay;
                QByteArray chunk;
                if (n > 0) {
                    chunk = QByteArray(buffer.constData(), int(n));
                    if (rewritePassive) {
                        partial += chunk;
                        const int end = partial.lastIndexOf('\n') + 1;
                        chunk = rewrite(s, partial.left(end));
                        partial.remove(0, end);
                    }
                }
                std::lock_guard<std::mutex> lock(pipe->mutex);
                if (!chunk.isEmpty())
                    pipe->chunks.emplace_back(due, chunk);
                if (n <= 0)
                    pipe->ended = true;
                pipe->ready.notify_one();
                if (n <= 0)
                    return;
            }
        });
        startThread(s, [pipe, connection, from, to]() {
            for (;;) {
                std::pair<Clock::time_point, QByteArray> next;
                {
                    std::unique_lock<std::mutex> lock(pipe->mutex);
                    pipe->ready.wait(lock, [&pipe]() { return pipe->ended || !pipe->chunks.empty(); });
                    if (pipe->chunks.empty())
                        break;
                    next = std::move(pipe->chunks.front());
                    pipe->chunks.pop_front();
                }
                std::this_thread::sleep_until(next.first);
                bool failed = false;
                for (int sent = 0; sent < next.second.size() && !failed;) {
                    const ssize_t n = ::send(to, next.second.constData() + sent, size_t(next.second.size() - sent),
                                             MSG_NOSIGNAL);
                    if (n < 0 && errno == EINTR)
                        continue;
                    failed = n <= 0;
                    sent += n > 0 ? int(n) : 0;
                }
                if (failed) {
                    // Nothing more can be delivered: stop reading the other side too.
                    ::shutdown(from, SHUT_RDWR);
                    break;
                }
            }
            ::shutdown(to, SHUT_WR);
            connection->directionDone();
        });
    }

    // A one-connection relay for a passive data port; its new port in place.
    static QByteArray rewrite(const std::shared_ptr<Shared> &s, QByteArray lines)
    {
        static const QRegularExpression pasv(QStringLiteral("^227 .*\\((\\d+),(\\d+),(\\d+),(\\d+),(\\d+),(\\d+)\\)"));
        static const QRegularExpression epsv(QStringLiteral("^229 .*\\(\\|\\|\\|(\\d+)\\|\\)"));
        QByteArray out;
        for (const QByteArray &line : lines.split('\n')) {
            if (line.isEmpty())
                continue;
            const QString text = QString::fromLatin1(line);
            QRegularExpressionMatch m = pasv.match(text);
            int serverPort = -1;
            if (m.hasMatch())
                serverPort = m.captured(5).toInt() * 256 + m.captured(6).toInt();
            else if ((m = epsv.match(text)).hasMatch())
                serverPort = m.captured(1).toInt();
            const int relayPort = serverPort > 0 ? dataRelay(s, serverPort) : -1;
            if (relayPort < 0) {
                out += line + '\n';
            } else if (line.startsWith("227")) {
                out += "227 Entering Passive Mode (127,0,0,1," + QByteArray::number(relayPort / 256) + ","
                        + QByteArray::number(relayPort % 256) + ")\r\n";
            } else {
                out += "229 Entering Extended Passive Mode (|||" + QByteArray::number(relayPort) + "|)\r\n";
            }
        }
        return out;
    }

    static int dataRelay(const std::shared_ptr<Shared> &s, int serverPort)
    {
        int port = -1;
        const int fd = Loopback::listen(&port, false);
        if (fd < 0)
            return -1;
        s->track(fd);
        startThread(s, [s, fd, serverPort]() {
            // The client connects right after the reply; give up after 30 s.
            pollfd wait { fd, POLLIN, 0 };
            if (::poll(&wait, 1, 30000) == 1 && !s->stopping) {
                const int client = ::accept(fd, nullptr, nullptr);
                if (client >= 0)
                    relay(s, client, serverPort, false);
            }
            s->untrackAndClose(fd);
        });
        return port;
    }

    std::shared_ptr<Shared> shared;
    int listener = -1;
    int port_ = 0;
};
