// The Linux module links the C++ runtime statically (cmake/linux.cmake).
// That runtime, built against glibc 2.36, reads glibc's
// __libc_single_threaded (new in glibc 2.32) to skip atomic reference
// counts while a process has one thread; RHEL 8's glibc 2.28 lacks it, and
// the loader would refuse the module. This definition answers "not known
// to be single-threaded" for the copy inside the module, so it always takes
// the atomic path: correct in any process, and the module's own symbol
// (hidden, not exported), so glibc's is never asked for.
#if defined(VELMORA_STATIC_LIBSTDCXX) && defined(__linux__)
extern "C" {
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name the runtime looks up
__attribute__((visibility("hidden"))) char __libc_single_threaded = 0;
}
#endif
