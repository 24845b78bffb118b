# Shared helpers for the project's scripts; source it, don't run it.

# Prints the interpreters of CPython 3.12 or later that actually run, one path
# a line, best first: $PYTHON, python3.13/python3.12 on PATH, pyenv's
# installed versions, Debian's python3.13.
kiv_find_pythons() {
    local cand=() root p
    [ -n "${PYTHON:-}" ] && cand+=("$PYTHON")
    for p in python3.13 python3.12; do
        command -v "$p" >/dev/null 2>&1 && cand+=("$(command -v "$p")")
    done
    if command -v pyenv >/dev/null 2>&1 && root=$(pyenv root 2>/dev/null); then
        for p in $(ls -d "$root"/versions/3.1[2-9]*/bin/python3 2>/dev/null | sort -rV); do
            cand+=("$p")
        done
    fi
    cand+=(/usr/bin/python3.13 /usr/bin/python3.12)
    for p in "${cand[@]}"; do
        "$p" -c 'import sys, venv; sys.exit(sys.version_info < (3, 12))' >/dev/null 2>&1 && echo "$p"
    done
    return 0
}

# The "major.minor" of an interpreter.
kiv_py_version() { "$1" -c 'import sys; print("%d.%d" % sys.version_info[:2])'; }

# Runs a command quietly; on failure shows its output and fails.
kiv_quiet() {
    local log
    log=$(mktemp)
    if ! "$@" >"$log" 2>&1; then
        grep -v -E '^WARNING: Location .* is ignored' "$log" >&2
        rm -f "$log"
        return 1
    fi
    rm -f "$log"
}
