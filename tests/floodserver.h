#pragma once

// A "server" on 127.0.0.1 that never stops talking: every connection it
// accepts gets bytes as fast as the client takes them. It runs on a thread of
// its own (with plain sockets), so it keeps sending while the test's thread
// waits, and for two minutes at most.
//
//   Lines       endless lines that do not start with "SSH-": an SSH client
//               reading the greeting never gets one
//   SshPackets  a proper greeting, then endless well-formed SSH packets
//               (SSH_MSG_IGNORE) that never bring the key exchange

#include <QByteArray>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "loopback.h"

class FloodServer
{
public:
    enum Mode { Lines, SshPackets };

    explicit FloodServer(Mode mode) : mode_(mode)
    {
        listener_ = Loopback::listen(&port_);
        if (listener_ >= 0)
            worker_ = std::thread([this] { serve(); });
    }
    ~FloodServer()
    {
        stopping_ = true;
        if (worker_.joinable())
            worker_.join();
        if (listener_ >= 0)
            ::close(listener_);
    }
    FloodServer(const FloodServer &) = delete;
    FloodServer &operator=(const FloodServer &) = delete;

    bool isListening() const { return port_ > 0; }
    int port() const { return port_; }
    // Connections accepted, and bytes sent over all of them.
    int connections() const { return connections_; }
    qint64 sent() const { return sent_; }

private:
    QByteArray chunk() const
    {
        QByteArray bytes;
        if (mode_ == Lines) {
            while (bytes.size() < 65536)
                bytes += "220 this is no ssh server, and this line is no greeting either\r\n";
            return bytes;
        }
        // packet_length, padding_length, SSH_MSG_IGNORE with a 1,000-byte
        // string, padding: 1,016 bytes, a whole number of 8-byte blocks.
        const auto uint32 = [](quint32 value) {
            QByteArray bytes;
            for (int shift = 24; shift >= 0; shift -= 8)
                bytes += char((value >> shift) & 0xff);
            return bytes;
        };
        const quint32 data = 1000, padding = 6;
        QByteArray packet = uint32(1 + 1 + 4 + data + padding);
        packet += char(padding);
        packet += char(2);
        packet += uint32(data);
        packet += QByteArray(int(data), 'i');
        packet += QByteArray(int(padding), '\0');
        while (bytes.size() < 65536)
            bytes += packet;
        return bytes;
    }

    void serve()
    {
        const QByteArray flood = chunk();
        const QByteArray greeting = mode_ == SshPackets ? QByteArray("SSH-2.0-flood\r\n") : QByteArray();
        struct Peer
        {
            int fd;
            QByteArray pending;
        };
        std::vector<Peer> peers;
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        char sink[65536];
        while (!stopping_ && std::chrono::steady_clock::now() < until) {
            std::vector<pollfd> watched { { listener_, POLLIN, 0 } };
            for (const Peer &peer : peers)
                watched.push_back({ peer.fd, short(POLLIN | POLLOUT), 0 });
            if (::poll(watched.data(), nfds_t(watched.size()), 50) < 0 && errno != EINTR)
                break;
            if (watched[0].revents & POLLIN) {
                const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
                if (fd >= 0) {
                    peers.push_back({ fd, greeting });
                    ++connections_;
                }
            }
            for (size_t i = 0; i < peers.size(); ++i) {
                const short events = watched.size() > i + 1 ? watched[i + 1].revents : 0;
                Peer &peer = peers[i];
                bool gone = events & (POLLERR | POLLHUP);
                if (!gone && (events & POLLIN)) {
                    // What the client says is read and dropped; its end closes the connection.
                    const ssize_t got = ::recv(peer.fd, sink, sizeof(sink), 0);
                    gone = got == 0 || (got < 0 && errno != EAGAIN && errno != EINTR);
                }
                if (!gone && (events & POLLOUT)) {
                    if (peer.pending.isEmpty())
                        peer.pending = flood;
                    const ssize_t put = ::send(peer.fd, peer.pending.constData(), size_t(peer.pending.size()),
                                               MSG_NOSIGNAL);
                    if (put > 0) {
                        peer.pending.remove(0, int(put));
                        sent_ += put;
                    } else if (put < 0 && errno != EAGAIN && errno != EINTR) {
                        gone = true;
                    }
                }
                if (gone) {
                    ::close(peer.fd);
                    peer.fd = -1;
                }
            }
            // Only connections still open are watched next time round.
            std::vector<Peer> open;
            for (Peer &peer : peers)
                if (peer.fd >= 0)
                    open.push_back(peer);
            peers.swap(open);
        }
        for (const Peer &peer : peers)
            ::close(peer.fd);
    }

    Mode mode_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_ { false };
    std::atomic<int> connections_ { 0 };
    std::atomic<qint64> sent_ { 0 };
    std::thread worker_;
};
