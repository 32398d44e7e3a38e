// A free set that its maker made and never gave its starting value.
#pragma once

// A maker that dies between making the free set and starting it leaves it at
// 0 for good (see join_semaphore). Returns true if free_sem looks so: at 0,
// GETPID 0, and sem_otime 0 on it or on the entry set (docs/design.md shows
// why these, measured). A set younger than START_GRACE_SECONDS (by its
// creation time) is watched until it is that old, since its maker may only be
// slow. Returns at once in every other case, and once a termination signal
// has come. start_up warns of such a set.
constexpr int START_GRACE_SECONDS = 5;
bool stays_unstarted(int free_sem, int entry_sem);
