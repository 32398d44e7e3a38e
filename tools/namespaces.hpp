// Private namespaces, so that a run's semaphores and processes are its own:
// the demo's --private (each run the grader starts), the demo's containment,
// and the tests.
#pragma once

// Makes new IPC, PID and mount namespaces, inside a user namespace of their
// own where this process is not root, and forks the first process of the new
// PID namespace, with a /proc of its own; returns 0 in it. The process that
// called it only waits: it passes SIGINT, SIGTERM and SIGHUP on, and exits
// as the new process ends. The new one dies with it. Returns -1 with errno
// set, in the calling process, if the kernel refused.
int enter_private_namespaces();

// Unshares the namespaces of flags (CLONE_NEW...); where that needs a
// privilege this process lacks, inside a new user namespace in which it is
// root. Returns 0, or -1 with errno set.
int unshare_as_root(int flags);

// Unshares the namespaces of flags inside a new user namespace, in which
// this process is root, whatever it was before. Returns 0, or -1 with errno
// set.
int unshare_in_own_user_namespace(int flags);

// Says whether enter_private_namespaces can work here, trying it in a
// process of its own: returns 0, or the errno of the kernel's refusal.
int try_private_namespaces();
