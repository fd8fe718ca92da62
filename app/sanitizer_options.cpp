// Built into the client only in sanitizer builds. The QML engine keeps its objects in a garbage
// collected heap whose pointers LeakSanitizer cannot follow, so every run would end with
// thousands of false leak reports and exit code 1; leak checking is therefore off by default
// (ASAN_OPTIONS still overrides it). Address and undefined-behaviour checks stay on.
extern "C" const char *__asan_default_options() // NOLINT(bugprone-reserved-identifier)
{
    return "detect_leaks=0";
}

// Undefined behaviour ends the run with a stack trace instead of scrolling past in the log.
extern "C" const char *__ubsan_default_options() // NOLINT(bugprone-reserved-identifier)
{
    return "halt_on_error=1:print_stacktrace=1";
}
