// Preloaded into klient by a test: the first semop that takes one unit raises
// SIGTERM just before it calls the real semop. The handler has run by then,
// after the program last looked for a termination signal and before its wait
// has begun, which is the moment that only the handler's kick can reach.
#include <csignal>
#include <cstddef>
#include <dlfcn.h>
#include <sys/sem.h>

extern "C" int semop(int semid, sembuf *ops, size_t count) {
    static const auto real_semop =
        reinterpret_cast<int (*)(int, sembuf *, size_t)>(dlsym(RTLD_NEXT, "semop"));
    static bool raised = false;
    if (!raised && count == 1 && ops[0].sem_op == -1) {
        raised = true;
        raise(SIGTERM);
    }
    return real_semop(semid, ops, count);
}
