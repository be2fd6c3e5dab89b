// Thread-safety annotations that clang checks with -Wthread-safety: which
// lock guards which member, which functions need a lock held or not held.
// Other compilers see nothing. Use them with the capability types of
// base/mutex.h:
//
//   class Store {
//    public:
//     void Set(int v) EXCLUDES(mu_) { MutexLock lock(&mu_); value_ = v; }
//    private:
//     void SetLocked(int v) REQUIRES(mu_) { value_ = v; }
//     mutable Mutex mu_;
//     int value_ GUARDED_BY(mu_) = 0;
//   };
#ifndef TALLYVOX_BASE_THREAD_ANNOTATIONS_H_
#define TALLYVOX_BASE_THREAD_ANNOTATIONS_H_

#if defined(__clang__)
#define TV_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define TV_THREAD_ANNOTATION(x)
#endif

// A class whose objects are locks.
#define CAPABILITY(x) TV_THREAD_ANNOTATION(capability(x))
// A class whose constructor takes a lock and destructor releases it.
#define SCOPED_CAPABILITY TV_THREAD_ANNOTATION(scoped_lockable)
// A member read and written only with the lock held.
#define GUARDED_BY(x) TV_THREAD_ANNOTATION(guarded_by(x))
// A pointer member whose pointee is read and written only with the lock held.
#define PT_GUARDED_BY(x) TV_THREAD_ANNOTATION(pt_guarded_by(x))
// Lock order: this lock is taken after / before the named ones.
#define ACQUIRED_AFTER(...) TV_THREAD_ANNOTATION(acquired_after(__VA_ARGS__))
#define ACQUIRED_BEFORE(...) TV_THREAD_ANNOTATION(acquired_before(__VA_ARGS__))
// The caller must hold the locks (exclusively / shared).
#define REQUIRES(...) TV_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define REQUIRES_SHARED(...) TV_THREAD_ANNOTATION(requires_shared_capability(__VA_ARGS__))
// The function takes / releases the locks.
#define ACQUIRE(...) TV_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define RELEASE(...) TV_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define TRY_ACQUIRE(...) TV_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
// The caller must not hold the locks (the function takes them).
#define EXCLUDES(...) TV_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
// The function checks at run time that the lock is held.
#define ASSERT_CAPABILITY(x) TV_THREAD_ANNOTATION(assert_capability(x))
// The function returns a reference to the lock.
#define RETURN_CAPABILITY(x) TV_THREAD_ANNOTATION(lock_returned(x))
// Turns the analysis off for one function; say why beside it.
#define NO_THREAD_SAFETY_ANALYSIS TV_THREAD_ANNOTATION(no_thread_safety_analysis)

#endif  // TALLYVOX_BASE_THREAD_ANNOTATIONS_H_
