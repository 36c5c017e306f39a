#include "transferwatchdog.h"

#include <chrono>

TransferWatchdog::TransferWatchdog(std::function<void()> expire)
    : expire(std::move(expire))
{
}

TransferWatchdog::~TransferWatchdog()
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        quitting = true;
    }
    wake.notify_all();
    if (thread.joinable())
        thread.join();
}

long long TransferWatchdog::now()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void TransferWatchdog::begin(long long limitMs)
{
    {
        std::lock_guard<std::mutex> lock(mutex);
        limit = limitMs;
        lastHeard = now();
        fired = false;
        running = true;
        // Started at the first transfer: a client that never transfers needs no thread.
        if (!thread.joinable())
            thread = std::thread([this] { watch(); });
    }
    wake.notify_all();
}

void TransferWatchdog::heard()
{
    lastHeard.store(now(), std::memory_order_relaxed);
}

void TransferWatchdog::end()
{
    std::lock_guard<std::mutex> lock(mutex);
    running = false;
}

void TransferWatchdog::watch()
{
    std::unique_lock<std::mutex> lock(mutex);
    while (!quitting) {
        if (!running || fired) {
            wake.wait(lock);
            continue;
        }
        const long long due = lastHeard.load(std::memory_order_relaxed) + limit;
        const long long left = due - now();
        if (left > 0) {
            wake.wait_for(lock, std::chrono::milliseconds(left));
            continue;
        }
        fired = true;
        // Under the lock: end() cannot return while the transfer is being
        // ended, so `expire` never reaches into a transfer after its own.
        expire();
    }
}
