// bare_waiter: the least a client can be, the benchmark's floor. It joins the
// entry set, says in the client's words that it wants to enter, waits for one
// unit, says that it is let in, and then waits for its end. No signal
// handling, no guard, no free set: what is left is what any waiting process
// costs.
#include "shared_semaphores.hpp"

#include <cstdio>
#include <sys/ipc.h>
#include <sys/sem.h>
#include <unistd.h>

int main() {
    int entry = semget(ENTRY_SEM_KEY, 1, IPC_CREAT | SEM_MODE);
    sembuf down = {0, -1, 0};
    if (entry == -1 || dprintf(STDOUT_FILENO, "Klient %d chce wejsc!\n", getpid()) < 0 ||
        semop(entry, &down, 1) == -1 ||
        dprintf(STDOUT_FILENO, "Klient %d konsumuje!\n", getpid()) < 0)
        return 1;
    pause();
}
