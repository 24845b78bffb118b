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

# Builds one wheel of the working tree into the folder $1 (created if needed)
# with the first interpreter that kiv_find_pythons finds, in a venv of its
# own under $1; prints the wheel's path.
kiv_build_wheel() {
    local out=$1 py pys
    mapfile -t pys < <(kiv_find_pythons)
    py=${pys[0]:-}
    [ -n "$py" ] || { echo "no CPython 3.12+ found; set PYTHON to one" >&2; return 1; }
    mkdir -p "$out/wheelhouse"
    rm -f "$out"/wheelhouse/kiv-*.whl
    [ -x "$out/venv-build/bin/python" ] || "$py" -m venv "$out/venv-build"
    kiv_quiet "$out/venv-build/bin/python" -m pip install --disable-pip-version-check -U pip
    # A build folder of its own: `pip install .` at the same time uses build/<wheel tag>.
    kiv_quiet "$out/venv-build/bin/python" -m pip wheel --disable-pip-version-check --no-deps \
        -Cbuild-dir="$out/cmake" -w "$out/wheelhouse" . || return 1
    ls "$out"/wheelhouse/kiv-*.whl
}

# Installs the working tree into the venv $1 (made on first use), with the
# build and test requirements, building in the folder $2; further arguments
# go to pip, e.g. -Ccmake.define.CMAKE_CXX_FLAGS=...
kiv_install_tree() {
    local venv=$1 build=$2 py pys
    shift 2
    if [ ! -x "$venv/bin/python" ]; then
        mapfile -t pys < <(kiv_find_pythons)
        py=${pys[0]:-}
        [ -n "$py" ] || { echo "no CPython 3.12+ found; set PYTHON to one" >&2; return 1; }
        "$py" -m venv "$venv"
    fi
    kiv_quiet "$venv/bin/python" -m pip install --disable-pip-version-check \
        scikit-build-core numpy -r tests/requirements.txt || return 1
    kiv_quiet "$venv/bin/python" -m pip install --disable-pip-version-check --no-build-isolation \
        --force-reinstall --no-deps -Cbuild-dir="$build" "$@" .
}

# Builds targets of the native tests (tests/native) in the folder $2 with
# CMake and Ninja from the venv $1 (installed there if missing): the targets
# are the arguments up to "--", the rest go to CMake's configure step.
kiv_native_build() {
    local tools build=$2 targets=()
    tools=$(cd "$1" && pwd)/bin || return 1
    shift 2
    while [ $# -gt 0 ] && [ "$1" != -- ]; do targets+=("$1"); shift; done
    [ $# -gt 0 ] && shift
    if [ ! -x "$tools/cmake" ] || [ ! -x "$tools/ninja" ]; then
        kiv_quiet "$tools/python" -m pip install --disable-pip-version-check cmake ninja || return 1
    fi
    kiv_quiet "$tools/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$tools/ninja" \
        -DKIV_NATIVE_TESTS=ON "$@" || return 1
    kiv_quiet "$tools/cmake" --build "$build" --target "${targets[@]}"
}

# The CPU levels of kiv's vector kernels on this machine's architecture,
# lowest first: the values of KIV_CPU_LEVEL, which caps the level in use (a
# level above what the CPU has gives the best it has).
kiv_cpu_levels() {
    case $(uname -m) in
        x86_64) echo baseline avx2 avx512 ;;
        aarch64|arm64) echo neon ;;
    esac
}

# Makes sure that aarch64-linux-gnu-g++ and qemu-aarch64 are on PATH,
# installing Debian's packages when they are missing: status 1 where there
# is no apt-get, 2 where the install failed.
kiv_aarch64_tools() {
    command -v aarch64-linux-gnu-g++ >/dev/null 2>&1 && command -v qemu-aarch64 >/dev/null 2>&1 && return 0
    command -v apt-get >/dev/null 2>&1 || return 1
    local sudo=()
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "   installing g++-aarch64-linux-gnu and qemu-user with apt-get"
    kiv_quiet "${sudo[@]}" apt-get update -q || return 2
    kiv_quiet "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
        g++-aarch64-linux-gnu qemu-user || return 2
}

# Prints a clang++ of version 15 or later (libstdc++'s std::source_location
# needs it), installing Debian's clang with its sanitizer runtimes when none
# is on PATH; status 1 when there is none to be had.
kiv_clang() {
    local c major sudo=() v
    for c in ${CXX_CLANG:-} clang++-19 clang++-18 clang++-17 clang++-16 clang++-15 clang++; do
        command -v "$c" >/dev/null 2>&1 || continue
        major=$("$c" -dumpversion | cut -d. -f1)
        if [ "$major" -ge 15 ]; then command -v "$c"; return 0; fi
    done
    command -v apt-get >/dev/null 2>&1 || return 1
    [ "$(id -u)" -eq 0 ] || sudo=(sudo)
    echo "   installing clang with apt-get" >&2
    kiv_quiet "${sudo[@]}" apt-get update -q >&2 || return 1
    for v in 19 18 17 16 15; do
        if kiv_quiet "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q \
                "clang-$v" "libclang-rt-$v-dev" >&2; then
            command -v "clang++-$v"
            return 0
        fi
    done
    return 1
}

# Compiles the module's sources with the cross compiler $2, against the
# headers of the interpreter $1 (and its NumPy) and links them with the
# cores of the cross build in $3: the module builds for that target too.
kiv_cross_module() {
    local py=$1 cxx=$2 build=$3 include numpy src objects=()
    include=$("$py" -c 'import sysconfig; print(sysconfig.get_paths()["include"])') || return 1
    numpy=$("$py" -c 'import numpy; print(numpy.get_include())') || return 1
    mkdir -p "$build/module"
    for src in src/kiv/*.cpp src/binding/*.cpp; do
        objects+=("$build/module/$(basename "$src" .cpp).o")
        "$cxx" -std=c++20 -O2 -fPIC -fvisibility=hidden -fvisibility-inlines-hidden -Wall -Wextra \
            -ffp-contract=off -DPy_LIMITED_API=0x030c0000 -Isrc -isystem "$include" -I"$numpy" \
            -c "$src" -o "${objects[-1]}" || return 1
    done
    "$cxx" -shared -o "$build/module/kiv.abi3.so" "${objects[@]}" "$build/libkiv_core.a" \
        -Wl,--version-script=src/kiv/exports.map || return 1
    echo "   the module, built for $("${cxx%g++}readelf" -h "$build/module/kiv.abi3.so" | sed -n 's/^ *Machine: *//p'):" \
         "$("${cxx%g++}nm" -D --defined-only "$build/module/kiv.abi3.so" | awk '$2 == "T" {print $3}')"
}
