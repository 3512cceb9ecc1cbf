// Lock annotations for Clang's thread-safety analysis (-Wthread-safety).
//
// The build turns the analysis on whenever the compiler is Clang, and its
// findings are errors: a member marked GUARDED_BY(lock) read or written
// without that lock held fails the build. Other compilers see empty macros.
#ifndef KVR_PLATFORM_THREAD_ANNOTATIONS_H_
#define KVR_PLATFORM_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define KVR_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define KVR_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) KVR_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY KVR_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) KVR_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) KVR_THREAD_ANNOTATION(pt_guarded_by(x))
#define REQUIRES(...) KVR_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) KVR_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) KVR_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) KVR_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) KVR_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) KVR_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) KVR_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) KVR_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) KVR_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS KVR_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // KVR_PLATFORM_THREAD_ANNOTATIONS_H_
