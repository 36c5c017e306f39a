#pragma once

#include <csignal>
#include <sys/resource.h>

// Caps the size any file of this process may grow to, as a full disk would:
// a write past the cap fails (EFBIG) instead of ending the process. Unlike
// permission bits, the cap also stops root, so it makes a write fail half-way
// for real.
class FileSizeCap
{
public:
    explicit FileSizeCap(rlim_t bytes)
    {
        getrlimit(RLIMIT_FSIZE, &saved);
        previousHandler = std::signal(SIGXFSZ, SIG_IGN);
        rlimit capped = saved;
        capped.rlim_cur = bytes;
        active = setrlimit(RLIMIT_FSIZE, &capped) == 0;
    }
    ~FileSizeCap()
    {
        setrlimit(RLIMIT_FSIZE, &saved);
        std::signal(SIGXFSZ, previousHandler);
    }
    FileSizeCap(const FileSizeCap &) = delete;
    FileSizeCap &operator=(const FileSizeCap &) = delete;
    bool active = false;

private:
    rlimit saved {};
    void (*previousHandler)(int) = nullptr;
};
