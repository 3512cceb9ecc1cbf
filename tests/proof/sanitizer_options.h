// Sanitizer settings for a test program that runs the whole service in its
// process. Include in exactly one source file of the program.
#ifndef KVR_TESTS_API_SANITIZER_OPTIONS_H_
#define KVR_TESTS_API_SANITIZER_OPTIONS_H_

// Under AddressSanitizer: the library's threads run until the process ends,
// and this toolchain's leak checker misreads their dynamic thread-local
// storage (its tracer crashes). Without scanning it, blocks that only such
// storage holds (the loader's, the media libraries': GLib's, and the SRT
// library's that FFmpeg loads with the service) look lost.
extern "C" const char* __lsan_default_options() { return "use_tls=0"; }
extern "C" const char* __lsan_default_suppressions() {
  return "leak:_dl_resize_dtv\nleak:g_malloc0\nleak:libsrt-gnutls.so\n";
}
// Under ThreadSanitizer: the loader hands a finished thread's dynamic
// thread-local block to the thread that reuses its stack, out of its sight.
extern "C" const char* __tsan_default_suppressions() { return "race:_dl_deallocate_tls\n"; }

#endif  // KVR_TESTS_API_SANITIZER_OPTIONS_H_
