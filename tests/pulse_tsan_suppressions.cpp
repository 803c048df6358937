// ThreadSanitizer's suppressions for programs that use libpulse in-process. The support library
// compiles this file into each program that links it (one definition per program).
//
// libpulse is not built with ThreadSanitizer: the atomics with which it publishes its lazily
// made mutexes are invisible to it, so it reports the first lock of such a mutex as a race.
extern "C" __attribute__((visibility("default"))) const char* __tsan_default_suppressions() {
  return "race:pa_mutex_lock\nrace:pa_mutex_unlock\n";
}
