#pragma once

// Clang's thread-safety analysis attributes; no-ops on other compilers.
#if defined(__clang__)
#define SVL_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define SVL_THREAD_ANNOTATION(x)
#endif

#define GUARDED_BY(x) SVL_THREAD_ANNOTATION(guarded_by(x))
#define PT_GUARDED_BY(x) SVL_THREAD_ANNOTATION(pt_guarded_by(x))
#define ACQUIRED_AFTER(...) SVL_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) SVL_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
#define EXCLUSIVE_LOCKS_REQUIRED(...) SVL_THREAD_ANNOTATION(exclusive_locks_required(__VA_ARGS__))
#define SHARED_LOCKS_REQUIRED(...) SVL_THREAD_ANNOTATION(shared_locks_required(__VA_ARGS__))
#define LOCKS_EXCLUDED(...) SVL_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define LOCK_RETURNED(x) SVL_THREAD_ANNOTATION(lock_returned(x))
#define CAPABILITY(x) SVL_THREAD_ANNOTATION(capability(x))
#define SCOPED_CAPABILITY SVL_THREAD_ANNOTATION(scoped_lockable)
#define EXCLUSIVE_LOCK_FUNCTION(...) SVL_THREAD_ANNOTATION(exclusive_lock_function(__VA_ARGS__))
#define SHARED_LOCK_FUNCTION(...) SVL_THREAD_ANNOTATION(shared_lock_function(__VA_ARGS__))
#define UNLOCK_FUNCTION(...) SVL_THREAD_ANNOTATION(unlock_function(__VA_ARGS__))
#define ASSERT_EXCLUSIVE_LOCK(...) SVL_THREAD_ANNOTATION(assert_exclusive_lock(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS SVL_THREAD_ANNOTATION(no_thread_safety_analysis)
