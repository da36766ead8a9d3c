// Capability annotations for clang's thread-safety analysis (-Wthread-safety): which lock
// guards which member, which lock a function needs held, and in what order locks are taken.
// The checking build (scripts/check_thread_safety.sh) compiles the engine with clang and the
// warnings as errors; other compilers see nothing of them.
#pragma once

#if defined(__clang__)
#define QOREL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define QOREL_THREAD_ANNOTATION(x)
#endif

#define CAPABILITY(x) QOREL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY QOREL_THREAD_ANNOTATION(scoped_lockable)
#define GUARDED_BY(x) QOREL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) QOREL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) QOREL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) QOREL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define REQUIRES(...) QOREL_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) QOREL_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
#define ACQUIRE(...) QOREL_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define ACQUIRE_SHARED(...) QOREL_THREAD_ANNOTATION(acquire_shared_capability(__VA_ARGS__))
#define RELEASE(...) QOREL_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define RELEASE_SHARED(...) QOREL_THREAD_ANNOTATION(release_shared_capability(__VA_ARGS__))
#define RELEASE_GENERIC(...) QOREL_THREAD_ANNOTATION(release_generic_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) QOREL_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) QOREL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define RETURN_CAPABILITY(x) QOREL_THREAD_ANNOTATION(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS QOREL_THREAD_ANNOTATION(no_thread_safety_analysis)
