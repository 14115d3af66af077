// Linked into every program of a sanitized build only. Built in rather than
// read from the environment alone: programs the tests start through pkexec,
// setpriv or namespaces may not see the caller's ASAN_OPTIONS.

// The leak check reports only system libraries in the programs that open a
// window (PulseAudio, D-Bus, Qt's X11 plugin, FFmpeg), some of them from
// plugins unloaded before the report, which no suppression can name.
extern "C" __attribute__((visibility("default"), used)) const char *__asan_default_options()
{
    return "detect_leaks=0";
}

// Undefined behaviour ends the program with a stack, so a test cannot pass over it.
extern "C" __attribute__((visibility("default"), used)) const char *__ubsan_default_options()
{
    return "print_stacktrace=1:halt_on_error=1";
}
