#pragma once

// clang's thread-safety attributes, so that `-Wthread-safety` proves every guarded access.
// Other compilers see nothing.
#if defined(__clang__)
#define VANDRA_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define VANDRA_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) VANDRA_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY VANDRA_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) VANDRA_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) VANDRA_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define ACQUIRED_BEFORE(...) VANDRA_THREAD_ATTRIBUTE(acquired_before(__VA_ARGS__))
#define ACQUIRED_AFTER(...) VANDRA_THREAD_ATTRIBUTE(acquired_after(__VA_ARGS__))
#define REQUIRES(...) VANDRA_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) VANDRA_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) VANDRA_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) VANDRA_THREAD_ATTRIBUTE(try_acquire_capability(__VA_ARGS__))
#define EXCLUDES(...) VANDRA_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define ASSERT_CAPABILITY(x) VANDRA_THREAD_ATTRIBUTE(assert_capability(x))
#define RETURN_CAPABILITY(x) VANDRA_THREAD_ATTRIBUTE(lock_returned(x))
#define NO_THREAD_SAFETY_ANALYSIS VANDRA_THREAD_ATTRIBUTE(no_thread_safety_analysis)
