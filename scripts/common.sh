# shellcheck shell=bash
# Sourced by the scripts in this folder: installs what the build needs, builds,
# and runs commands in a private IPC namespace.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ME=${ME:-scripts/$(basename "$0")}

# protocol_value NAME: a whole number of the protocol (FREE_SEM_KEY,
# ENTRY_SEM_KEY, FREE_SEM_INITIAL), as the programs are built with it.
protocol_value() {
    local value
    value=$(sed -n "s/^constexpr [a-z_]* $1 = \([0-9]*\);.*/\1/p" "$ROOT/src/shared_semaphores.hpp")
    [ -n "$value" ] || { echo "$ME: no $1 in src/shared_semaphores.hpp" >&2; exit 1; }
    echo "$value"
}

# install_packages PACKAGE...: installs from the distribution's packages as root,
# showing apt's progress, or says what to install and exits. Recommended
# packages are left out: what is needed is named.
install_packages() {
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        echo "$ME: missing $*: install them (apt-get install --no-install-recommends $*)" \
            "or run as root" >&2
        exit 1
    fi
    echo "$ME: installing $*: updating the package lists" >&2
    apt-get update -q >&2
    echo "$ME: installing $*" >&2
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "$@" >&2
}

# ensure_tools build|tests|package: installs what the build needs where it is
# missing, and for tests or a package what they need too.
ensure_tools() {
    local missing=()
    command -v cmake >/dev/null || missing+=(cmake)
    command -v g++ >/dev/null || missing+=(g++)
    command -v make >/dev/null || missing+=(make)
    command -v unshare >/dev/null || missing+=(util-linux)
    [ -e /usr/include/seccomp.h ] || missing+=(libseccomp-dev)
    if [ "$1" = tests ]; then
        command -v strace >/dev/null || missing+=(strace)
        command -v jq >/dev/null || missing+=(jq)
        command -v xmllint >/dev/null || missing+=(libxml2-utils)
        [ -x /usr/bin/python3 ] || missing+=(python3)
        [ -x /usr/bin/chromium ] || missing+=(chromium) # reads the grader's web page
        [ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    elif [ "$1" = package ]; then
        command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
    fi
    [ ${#missing[@]} -eq 0 ] || install_packages "${missing[@]}"
}

ensure_gnuplot() {
    command -v gnuplot >/dev/null || install_packages gnuplot-nox
}

# build DIR [cmake options...]: configures and builds into $ROOT/DIR, saying
# so before and after, and showing the build's output only if it fails. Run
# with sudo, it gives the build back to the user who ran sudo, as the clone is.
build() {
    local dir=$1 log start=$SECONDS
    shift
    echo "$ME: building in $dir/ ..." >&2
    mkdir -p "$ROOT/$dir"
    log=$ROOT/$dir/build.log
    # shellcheck disable=SC2016 # expanded by the inner shell
    if ! run_step group bash -c 'cmake -S "$1" -B "$2" "${@:3}" && cmake --build "$2" -j "$(nproc)"' \
        build "$ROOT" "$ROOT/$dir" "$@" >"$log" 2>&1; then
        give_back_to_sudo_user "$ROOT/$dir"
        cat "$log" >&2
        echo "$ME: the build in $dir/ failed" >&2
        exit 1
    fi
    give_back_to_sudo_user "$ROOT/$dir"
    echo "$ME: built in $dir/ in $((SECONDS - start)) s" >&2
}

# give_back_to_sudo_user PATH: under sudo, in a clone that belongs to the
# user who ran it, makes PATH theirs again.
give_back_to_sudo_user() {
    if [ "$(id -u)" -eq 0 ] && [ -n "${SUDO_UID-}" ] && [ "$(stat -c %u "$ROOT")" = "$SUDO_UID" ]; then
        chown -R "$SUDO_UID:${SUDO_GID:-$SUDO_UID}" "$1"
    fi
}

# The step running now (see run_step): its process, how it is stopped, and
# whether Ctrl-C reaches it as at a terminal.
RUNNING='' RUNNING_HOW='' RUNNING_TAKES_INT=''

# A signal to the script ends it, after the step running now and every
# process of that step: a namespace's unshare is killed, and the kernel kills
# all of the namespace with it; a process group is sent SIGTERM, so that make
# deletes what it had half written, and waited for. A step that takes Ctrl-C
# itself is left to end on it.
on_signal() {
    local sig=$1
    # No return here: in bash 5.2, a return in a function that a SIGINT trap
    # calls ends the whole script by SIGINT.
    if [ "$sig" != INT ] || [ -z "$RUNNING_TAKES_INT" ]; then
        end_by "$sig"
    fi
}

end_by() {
    local sig=$1 waited=0
    if [ "$RUNNING_HOW" = namespace ]; then
        kill -KILL "$RUNNING" 2>/dev/null || true
        wait "$RUNNING" 2>/dev/null || true
    elif [ "$RUNNING_HOW" = group ]; then
        kill -TERM -- "-$RUNNING" 2>/dev/null || true
        while kill -0 -- "-$RUNNING" 2>/dev/null && [ $waited -lt 100 ]; do
            sleep 0.1
            waited=$((waited + 1))
        done
        kill -KILL -- "-$RUNNING" 2>/dev/null || true
    fi
    trap - "$sig"
    kill -"$sig" $$
}
for sig in INT TERM HUP; do
    # shellcheck disable=SC2064 # the signal's name is meant to be expanded now
    trap "on_signal $sig" "$sig"
done

# run_step group|namespace|ipc [--takes-int] COMMAND...: runs COMMAND as a
# step that a signal to the script takes down whole (see on_signal), waits for
# it and returns its status. group: in a process group of its own. namespace:
# in a PID namespace of its own, under a shell that reaps whatever is left to
# it; ipc: in a private IPC namespace as well. With --takes-int, Ctrl-C
# reaches COMMAND as at a terminal, and the script waits for it to end.
run_step() {
    local how=$1 takes_int='' rc=0
    shift
    [ "$1" != --takes-int ] || { takes_int=1; shift; }
    # A command started in the background ignores Ctrl-C's SIGINT and SIGQUIT
    # from the start, and would keep them ignored: it gets them back as a
    # command in the foreground has them.
    local step=(env --default-signal=INT --default-signal=QUIT bash -c '"$@"; exit $?' step "$@")
    if [ "$how" = group ]; then
        setsid "$@" &
    else
        find_namespace "$how" || { echo "$ME: cannot make a PID namespace" >&2; exit 1; }
        how=namespace
        "${NAMESPACE[@]}" "${step[@]}" &
    fi
    RUNNING=$! RUNNING_HOW=$how RUNNING_TAKES_INT=$takes_int
    while kill -0 "$RUNNING" 2>/dev/null; do
        rc=0
        wait "$RUNNING" || rc=$?
    done
    RUNNING='' RUNNING_HOW='' RUNNING_TAKES_INT=''
    return "$rc"
}

# find_namespace namespace|ipc: sets NAMESPACE to the first command that
# here runs what follows it in a PID namespace of its own, with its own
# /proc (and, for ipc, a private IPC namespace), or returns 1 if none does:
# as root; as root in a chroot, where / is no mount point and unshare cannot
# make it private, by mounting the new /proc itself on a /proc made private
# first, so that nothing reaches the mounts outside; as a normal user, in a
# user namespace.
find_namespace() {
    local flags=(--pid --fork --kill-child) candidate
    [ "$1" != ipc ] || flags+=(--ipc)
    # shellcheck disable=SC2016 # expanded by the inner shell
    local own_proc=(sh -c 'mount --make-rprivate /proc && mount -t proc proc /proc && exec "$@"' proc)
    for candidate in "unshare ${flags[*]} --mount-proc" \
        "unshare ${flags[*]} --mount --propagation unchanged" \
        "unshare --user --map-root-user ${flags[*]} --mount-proc"; do
        read -ra NAMESPACE <<<"$candidate"
        [[ $candidate != *unchanged ]] || NAMESPACE+=("${own_proc[@]}")
        "${NAMESPACE[@]}" true 2>/dev/null && return 0
    done
    return 1
}

# usage_error MESSAGE: names what was wrong, then gives the script's usage
# (its function usage) on standard error, and exits with status 2.
usage_error() {
    echo "$ME: $1" >&2
    usage >&2
    exit 2
}

# check_writable PATH: refuses, before anything is built or run, a file that
# could not be written in the end.
check_writable() {
    local dir
    dir=$(dirname -- "$1")
    if [ ! -d "$dir" ]; then
        echo "$ME: cannot write $1: there is no directory $dir" >&2
        exit 1
    elif [ ! -w "$dir" ] || { [ -e "$1" ] && [ ! -w "$1" ]; }; then
        echo "$ME: cannot write $1: permission denied" >&2
        exit 1
    fi
}

# Checks, before anything is built, that a private IPC namespace can be made
# (see in_private_ipc), and if not says why and exits.
check_private_ipc() {
    find_namespace ipc && return 0
    # In a chroot, the /proc of the namespace is mounted with mount(8), which
    # a minimal Debian 13 system lacks.
    if [ "$(id -u)" -eq 0 ] && ! command -v mount >/dev/null; then
        install_packages mount
        find_namespace ipc && return 0
    fi
    local why
    if [ "$(id -u)" -eq 0 ]; then
        why="even as root: $(unshare --ipc --pid --fork --mount-proc true 2>&1 | tail -n 1 || true)"
    elif [ "$(cat /proc/sys/kernel/unprivileged_userns_clone 2>/dev/null)" = 0 ] ||
        [ "$(cat /proc/sys/user/max_user_namespaces 2>/dev/null)" = 0 ]; then
        why="not root, and this system allows normal users no user namespaces: run as root, or ask an administrator to allow them"
    else
        why="not root, and the kernel refused a user namespace ($(unshare --user true 2>&1 | tail -n 1 || true)), as it does inside a chroot or a restricted container: run outside it, or as root"
    fi
    echo "$ME: cannot make a private IPC namespace, $why; refusing to use the host's semaphores" >&2
    exit 1
}

# in_private_ipc [--takes-int] COMMAND...: runs COMMAND where System V
# semaphores are private to it, so that nothing it does can reach the host's
# real semaphores: a new IPC namespace as root, a user namespace around one
# otherwise; and in a PID namespace of its own (see run_step).
in_private_ipc() {
    run_step ipc "$@"
}
