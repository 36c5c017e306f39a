#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

// Ends a transfer that the library stopped returning from. The library calls
// its client back about once a second while a transfer runs, which is where
// stalls and aborts are noticed; a call stuck inside it (libssh2 reading a
// greeting that never ends, say) makes no such call, so nothing noticed there
// could end it. The watchdog, on a thread of its own, runs `expire` once a
// running transfer has not been heard of for its limit.
class TransferWatchdog
{
public:
    explicit TransferWatchdog(std::function<void()> expire);
    ~TransferWatchdog();
    TransferWatchdog(const TransferWatchdog &) = delete;
    TransferWatchdog &operator=(const TransferWatchdog &) = delete;

    // A transfer starts; it may go `limitMs` without a sign of life.
    void begin(long long limitMs);
    // A sign of life; cheap enough for every callback.
    void heard();
    // The transfer returned.
    void end();
    // Whether `expire` ran for the current (or last) transfer.
    bool expired() const { return fired; }

private:
    static long long now();
    void watch();

    std::function<void()> expire;
    std::mutex mutex;
    std::condition_variable wake;
    std::thread thread;
    bool running = false;
    bool quitting = false;
    long long limit = 0;
    std::atomic<long long> lastHeard { 0 };
    std::atomic<bool> fired { false };
};
