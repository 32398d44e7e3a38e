# Sourced by the scripts in this folder: installs what the build needs, builds,
# and runs commands in a private IPC namespace.

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ME=scripts/$(basename "$0")

# Installs what the build and the tests need where it is missing (as root,
# from the distribution's packages), or says what to install.
ensure_tools() {
    local missing=()
    command -v cmake >/dev/null || missing+=(cmake)
    command -v g++ >/dev/null || missing+=(g++)
    command -v make >/dev/null || missing+=(make)
    command -v unshare >/dev/null || missing+=(util-linux)
    command -v strace >/dev/null || missing+=(strace)
    [ -e /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ] || ! command -v apt-get >/dev/null; then
        echo "$ME: missing ${missing[*]}: install them (apt-get install ${missing[*]}) or run as root" >&2
        exit 1
    fi
    echo "$ME: installing ${missing[*]}" >&2
    apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}

# build DIR [cmake options...]: configures and builds into $ROOT/DIR, quietly
# unless it fails.
build() {
    local dir=$1 log
    shift
    mkdir -p "$ROOT/$dir"
    log=$ROOT/$dir/build.log
    if ! { cmake -S "$ROOT" -B "$ROOT/$dir" "$@" && cmake --build "$ROOT/$dir" -j "$(nproc)"; } \
        >"$log" 2>&1; then
        cat "$log" >&2
        echo "$ME: the build in $dir failed" >&2
        exit 1
    fi
}

# Runs a command where System V semaphores are private to it, so that nothing
# it does can reach the host's real semaphores: a new IPC namespace as root, a
# user namespace around one otherwise.
in_private_ipc() {
    if unshare --ipc true 2>/dev/null; then
        unshare --ipc "$@"
    elif unshare --user --map-root-user --ipc true 2>/dev/null; then
        unshare --user --map-root-user --ipc "$@"
    else
        echo "$ME: cannot make a private IPC namespace: run as root, or enable unprivileged" \
            "user namespaces; refusing to use the host's semaphores" >&2
        return 1
    fi
}
