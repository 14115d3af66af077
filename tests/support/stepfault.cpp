// Preloaded into a program under test (LD_PRELOAD) to stop it at its Nth change
// of a name below a folder, so a test sees what each step leaves behind.
//   STEP_FAULT_PATH  the folder whose names count (renames, links, removals)
//   STEP_FAULT_AT    the step, from 1
//   STEP_FAULT_MODE  "kill": SIGKILL right after that step; "fail": the step fails (EIO)
#include <dlfcn.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace {

int steps = 0;

bool counts(const char *a, const char *b)
{
    const char *folder = std::getenv("STEP_FAULT_PATH");
    return folder && *folder && ((a && std::strstr(a, folder)) || (b && std::strstr(b, folder)));
}

template <typename Call> int step(const char *a, const char *b, Call call)
{
    const char *at = std::getenv("STEP_FAULT_AT");
    if (!at || !counts(a, b) || ++steps != std::atoi(at))
        return call();
    const char *mode = std::getenv("STEP_FAULT_MODE");
    if (mode && std::strcmp(mode, "fail") == 0) {
        errno = EIO;
        return -1;
    }
    const int result = call();
    ::kill(::getpid(), SIGKILL);
    return result;
}

template <typename Function> Function next(const char *name)
{
    return reinterpret_cast<Function>(::dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" {

int rename(const char *from, const char *to)
{
    static auto real = next<int (*)(const char *, const char *)>("rename");
    return step(from, to, [&] { return real(from, to); });
}

int link(const char *from, const char *to)
{
    static auto real = next<int (*)(const char *, const char *)>("link");
    return step(from, to, [&] { return real(from, to); });
}

int unlink(const char *path)
{
    static auto real = next<int (*)(const char *)>("unlink");
    return step(path, nullptr, [&] { return real(path); });
}

int rmdir(const char *path)
{
    static auto real = next<int (*)(const char *)>("rmdir");
    return step(path, nullptr, [&] { return real(path); });
}
}
