// Lock annotations that clang's -Wthread-safety checks: which lock guards a member,
// which functions take or need it. Other compilers see nothing.
#pragma once

#if defined(__clang__)
#define FW_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define FW_THREAD_ANNOTATION(x)
#endif

#define FW_CAPABILITY(name) FW_THREAD_ANNOTATION(capability(name))
#define FW_SCOPED_CAPABILITY FW_THREAD_ANNOTATION(scoped_lockable)
#define FW_GUARDED_BY(lock) FW_THREAD_ANNOTATION(guarded_by(lock))
#define FW_PT_GUARDED_BY(lock) FW_THREAD_ANNOTATION(pt_guarded_by(lock))
#define FW_REQUIRES(...) FW_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define FW_EXCLUDES(...) FW_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define FW_ACQUIRE(...) FW_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define FW_RELEASE(...) FW_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define FW_TRY_ACQUIRE(...) FW_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define FW_NO_THREAD_SAFETY_ANALYSIS FW_THREAD_ANNOTATION(no_thread_safety_analysis)
