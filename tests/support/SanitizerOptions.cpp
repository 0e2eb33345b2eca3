// Runtime options of the sanitizers for every test program: leaks are errors, the first
// report stops the program, with a stack.
extern "C" {
const char* __asan_default_options() { return "detect_leaks=1"; }
const char* __ubsan_default_options() { return "halt_on_error=1:print_stacktrace=1"; }
const char* __tsan_default_options() { return "halt_on_error=1:second_deadlock_stack=1"; }
}
