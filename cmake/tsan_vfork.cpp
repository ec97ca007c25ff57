// Linked into every executable of a ThreadSanitizer build, and only there.
//
// Qt starts a child process with clone(CLONE_VM | CLONE_VFORK): the child runs in its parent's
// memory, on the parent thread's sanitizer state, until it execs. The sanitizer's clone
// interceptor runs its after-fork code in that child, which then marks the parent's own thread
// as one whose synchronisation is ignored, and the whole process as forked while threaded.
// From then on every lock that thread takes is invisible (false races), and the process dies
// at its next new thread. A clone that copies the memory instead, as fork does, is what the
// sanitizer understands; Qt's child only execs, so it needs nothing else of vfork.
#include <cstdarg>
#include <dlfcn.h>
#include <sched.h>
#include <sys/types.h>

extern "C" int clone(int (*fn)(void *), void *stack, int flags, void *arg, ...)
{
    va_list rest;
    va_start(rest, arg);
    auto *parentTid = va_arg(rest, pid_t *);
    void *tls = va_arg(rest, void *);
    auto *childTid = va_arg(rest, pid_t *);
    va_end(rest);
    using Clone = int (*)(int (*)(void *), void *, int, void *, ...);
    // The sanitizer's interceptor, which then sees a fork it can model.
    static const auto next = reinterpret_cast<Clone>(dlsym(RTLD_NEXT, "clone"));
    constexpr int kVfork = CLONE_VM | CLONE_VFORK;
    if ((flags & kVfork) == kVfork && !(flags & CLONE_THREAD))
        flags &= ~kVfork;
    return next(fn, stack, flags, arg, parentTid, tls, childTid);
}
