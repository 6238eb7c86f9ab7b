// Linked into every executable of a sanitizer build: the test binaries (also when CMake lists
// their tests at build time), the tool they start and the fuzzers all run with these settings,
// whatever the environment holds.

#define KORVEX_RUNTIME_OPTIONS extern "C" __attribute__((visibility("default"), used)) const char*

KORVEX_RUNTIME_OPTIONS __asan_default_options() {
    return "detect_leaks=1:detect_stack_use_after_return=1:check_initialization_order=1:"
           "strict_init_order=1:strict_string_checks=1";
}

// use_tls=0: at exit, the leak check of this compiler's runtime read garbage for the dynamic
// thread-local storage of a library loaded at run time (the client library) and died with
// SIGSEGV ("LeakSanitizer has encountered a fatal error") in some runs of korvex-reports.
KORVEX_RUNTIME_OPTIONS __lsan_default_options() {
    return "use_tls=0:suppressions=" KORVEX_LSAN_SUPPRESSIONS;
}

KORVEX_RUNTIME_OPTIONS __ubsan_default_options() {
    return "print_stacktrace=1:halt_on_error=1";
}
