#include "host/process.hpp"

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <sys/types.h>
#include <sys/wait.h>
#endif

namespace velmora::host {

#ifdef _WIN32

bool process_exists(long long pid) noexcept {
    HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
    if (process == nullptr) return false;
    bool running = WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
    CloseHandle(process);
    return running;
}

#else

bool process_exists(long long pid) noexcept {
    if (pid <= 0) return false;
    int status = 0;
    pid_t reaped = waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
    if (reaped == static_cast<pid_t>(pid)) return false;  // our child, ended
    if (reaped == 0) return true;                          // our child, running
    return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

#endif

}  // namespace velmora::host
