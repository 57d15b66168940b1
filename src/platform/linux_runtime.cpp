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

// std::thread's pieces of the same runtime call pthread_create and
// pthread_join, which glibc 2.34 moved into libc under a new version,
// GLIBC_2.34. glibc still provides them at their first version, the one
// RHEL 8 has (in libpthread.so.0, which the module names as a need for that
// reason): the link sends the runtime's calls here (--wrap, see
// cmake/linux.cmake), and these bind to the first version.
#if defined(VELMORA_STATIC_LIBSTDCXX) && defined(__linux__) && defined(__x86_64__)
#include <pthread.h>

extern "C" {
int velmora_first_pthread_create(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
int velmora_first_pthread_join(pthread_t, void**);
}
__asm__(".symver velmora_first_pthread_create, pthread_create@GLIBC_2.2.5");
__asm__(".symver velmora_first_pthread_join, pthread_join@GLIBC_2.2.5");

extern "C" {
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name --wrap gives the call
__attribute__((visibility("hidden"))) int __wrap_pthread_create(pthread_t* thread,
                                                                const pthread_attr_t* attr,
                                                                void* (*start)(void*), void* arg) {
    return velmora_first_pthread_create(thread, attr, start, arg);
}
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name --wrap gives the call
__attribute__((visibility("hidden"))) int __wrap_pthread_join(pthread_t thread, void** result) {
    return velmora_first_pthread_join(thread, result);
}
}
#endif
