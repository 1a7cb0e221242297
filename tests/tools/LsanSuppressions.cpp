// SDL's PulseAudio back end drops the operations its hot-plug thread starts (stack: SDL thread
// → pa_mainloop_run → pa_context_get_*_info_by_index). Those leaks are SDL's, not ours.
// libpulse recycles operation objects through a process-wide free list, so an operation that
// SDL leaks may be memory first allocated for one of our volume queries and then reported
// under our stack; the two MicVolume entries cover exactly that. Leaks anywhere else still
// fail the test.
extern "C" const char* __lsan_default_suppressions() {
    return "leak:libSDL2-2.0.so\n"
           "leak:platform::MicVolume::Impl::QueryDefaultSource\n"
           "leak:platform::MicVolume::Set\n";
}
// libpulse is built without frame pointers: only the slow unwinder reaches the SDL frames that
// the first suppression needs to see.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }
