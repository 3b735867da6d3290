// Clang's thread-safety analysis: which lock guards what, checked by the
// compiler. With any other compiler these say nothing.
//
//   int count OSTRA_GUARDED_BY(lock);        // read and written only under lock
//   void step() OSTRA_REQUIRES(lock);        // called with lock held
//
// Critical sections are capabilities (Linux builds; Windows' own structure
// cannot be annotated), and so are the host's scoped holders of them.
#pragma once

#if defined(__clang__)
#define OSTRA_THREAD_ANNOTATION(x) __attribute__((x))
#else
#define OSTRA_THREAD_ANNOTATION(x)
#endif

#define OSTRA_CAPABILITY(name) OSTRA_THREAD_ANNOTATION(capability(name))
#define OSTRA_SCOPED_CAPABILITY OSTRA_THREAD_ANNOTATION(scoped_lockable)
#define OSTRA_GUARDED_BY(lock) OSTRA_THREAD_ANNOTATION(guarded_by(lock))
#define OSTRA_PT_GUARDED_BY(lock) OSTRA_THREAD_ANNOTATION(pt_guarded_by(lock))
#define OSTRA_REQUIRES(...) OSTRA_THREAD_ANNOTATION(requires_capability(__VA_ARGS__))
#define OSTRA_ACQUIRE(...) OSTRA_THREAD_ANNOTATION(acquire_capability(__VA_ARGS__))
#define OSTRA_RELEASE(...) OSTRA_THREAD_ANNOTATION(release_capability(__VA_ARGS__))
#define OSTRA_TRY_ACQUIRE(...) OSTRA_THREAD_ANNOTATION(try_acquire_capability(__VA_ARGS__))
#define OSTRA_EXCLUDES(...) OSTRA_THREAD_ANNOTATION(locks_excluded(__VA_ARGS__))
#define OSTRA_NO_THREAD_SAFETY_ANALYSIS OSTRA_THREAD_ANNOTATION(no_thread_safety_analysis)
