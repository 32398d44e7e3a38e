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
    if [ "$1" = tests ]; then
        command -v strace >/dev/null || missing+=(strace)
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
# so before and after, and showing the build's output only if it fails.
build() {
    local dir=$1 log start=$SECONDS
    shift
    echo "$ME: building in $dir/ ..." >&2
    mkdir -p "$ROOT/$dir"
    log=$ROOT/$dir/build.log
    if ! { cmake -S "$ROOT" -B "$ROOT/$dir" "$@" && cmake --build "$ROOT/$dir" -j "$(nproc)"; } \
        >"$log" 2>&1; then
        cat "$log" >&2
        echo "$ME: the build in $dir/ failed" >&2
        exit 1
    fi
    echo "$ME: built in $dir/ in $((SECONDS - start)) s" >&2
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
    unshare --ipc true 2>/dev/null && return 0
    unshare --user --map-root-user --ipc true 2>/dev/null && return 0
    local why
    if [ "$(id -u)" -eq 0 ]; then
        why="even as root: $(unshare --ipc true 2>&1 | tail -n 1 || true)"
    elif [ "$(cat /proc/sys/kernel/unprivileged_userns_clone 2>/dev/null)" = 0 ] ||
        [ "$(cat /proc/sys/user/max_user_namespaces 2>/dev/null)" = 0 ]; then
        why="not root, and this system allows normal users no user namespaces: run as root, or ask an administrator to allow them"
    else
        why="not root, and the kernel refused a user namespace ($(unshare --user true 2>&1 | tail -n 1 || true)), as it does inside a chroot or a restricted container: run outside it, or as root"
    fi
    echo "$ME: cannot make a private IPC namespace, $why; refusing to use the host's semaphores" >&2
    exit 1
}

# Runs a command where System V semaphores are private to it, so that nothing
# it does can reach the host's real semaphores: a new IPC namespace as root, a
# user namespace around one otherwise.
in_private_ipc() {
    if unshare --ipc true 2>/dev/null; then
        unshare --ipc "$@"
    else
        unshare --user --map-root-user --ipc "$@"
    fi
}
