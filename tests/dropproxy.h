#pragma once

// A relay on 127.0.0.1 in front of a test server that drops the first
// connections it accepts, as a host does that is restarting or overloaded:
// they are closed at once, before the server's first word. Every later
// connection is passed through both ways. It runs on a thread of its own,
// for two minutes at most. (FTP data connections go to the server directly,
// to the address its passive replies name.)

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <cerrno>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "loopback.h"

class DropProxy
{
public:
    DropProxy(int targetPort, int drops) : target_(targetPort), drops_(drops)
    {
        listener_ = Loopback::listen(&port_);
        if (listener_ >= 0)
            worker_ = std::thread([this] { serve(); });
    }
    ~DropProxy()
    {
        stopping_ = true;
        if (worker_.joinable())
            worker_.join();
        if (listener_ >= 0)
            ::close(listener_);
    }
    DropProxy(const DropProxy &) = delete;
    DropProxy &operator=(const DropProxy &) = delete;

    int port() const { return port_; }
    // Connections accepted, dropped ones included.
    int connections() const { return connections_; }

private:
    void serve()
    {
        // Pairs of client and server sockets; a pair ends when either side does.
        std::vector<std::pair<int, int>> pairs;
        const auto until = std::chrono::steady_clock::now() + std::chrono::minutes(2);
        char buffer[65536];
        while (!stopping_ && std::chrono::steady_clock::now() < until) {
            std::vector<pollfd> watched { { listener_, POLLIN, 0 } };
            for (const auto &pair : pairs) {
                watched.push_back({ pair.first, POLLIN, 0 });
                watched.push_back({ pair.second, POLLIN, 0 });
            }
            if (::poll(watched.data(), nfds_t(watched.size()), 50) < 0 && errno != EINTR)
                break;
            if (watched[0].revents & POLLIN) {
                const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
                if (client >= 0) {
                    if (connections_++ < drops_) {
                        ::close(client);
                    } else {
                        const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                        sockaddr_in address = Loopback::address(target_);
                        if (server >= 0
                            && ::connect(server, reinterpret_cast<sockaddr *>(&address), sizeof(address)) == 0) {
                            // A side that stops reading cannot hold the relay for long.
                            const timeval limit { 5, 0 };
                            ::setsockopt(client, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
                            ::setsockopt(server, SOL_SOCKET, SO_SNDTIMEO, &limit, sizeof(limit));
                            pairs.emplace_back(client, server);
                        } else {
                            ::close(client);
                            if (server >= 0)
                                ::close(server);
                        }
                    }
                }
            }
            std::vector<std::pair<int, int>> open;
            for (size_t i = 0; i < pairs.size(); ++i) {
                bool gone = false;
                for (int side = 0; side < 2 && !gone; ++side) {
                    const pollfd &p = watched[1 + 2 * i + size_t(side)];
                    if (!(p.revents & (POLLIN | POLLHUP | POLLERR)))
                        continue;
                    const int from = side == 0 ? pairs[i].first : pairs[i].second;
                    const int to = side == 0 ? pairs[i].second : pairs[i].first;
                    const ssize_t got = ::recv(from, buffer, sizeof(buffer), 0);
                    if (got <= 0) {
                        gone = true;
                        break;
                    }
                    // Blocking sends: the other side reads what it was sent.
                    for (ssize_t sent = 0; sent < got && !gone;) {
                        const ssize_t put = ::send(to, buffer + sent, size_t(got - sent), MSG_NOSIGNAL);
                        if (put <= 0)
                            gone = true;
                        else
                            sent += put;
                    }
                }
                if (gone) {
                    ::close(pairs[i].first);
                    ::close(pairs[i].second);
                } else {
                    open.push_back(pairs[i]);
                }
            }
            pairs.swap(open);
        }
        for (const auto &pair : pairs) {
            ::close(pair.first);
            ::close(pair.second);
        }
    }

    int target_;
    int drops_;
    int listener_ = -1;
    int port_ = 0;
    std::atomic<bool> stopping_ { false };
    std::atomic<int> connections_ { 0 };
    std::thread worker_;
};
