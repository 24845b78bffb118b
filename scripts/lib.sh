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

# Sets up zig's clang (the ziglang package, in a venv cached under
# build/cache/zig) as a toolchain for zig's target $1, e.g.
# x86_64-linux-gnu.2.17 or aarch64-macos.11.0: wrappers cc, c++, ar, ranlib
# and a CMake toolchain file (toolchain.cmake) in the folder it prints.
kiv_zig_toolchain() {
    local target=$1 cache=$PWD/build/cache/zig py pys zig dir system processor tool
    if [ ! -x "$cache/venv/bin/python" ] || ! "$cache/venv/bin/python" -c 'import ziglang' 2>/dev/null; then
        mapfile -t pys < <(kiv_find_pythons)
        py=${pys[0]:-}
        [ -n "$py" ] || { echo "no CPython 3.12+ found; set PYTHON to one" >&2; return 1; }
        rm -rf "$cache/venv"
        "$py" -m venv "$cache/venv" || return 1
        kiv_quiet "$cache/venv/bin/python" -m pip install --disable-pip-version-check ziglang || return 1
    fi
    zig=$("$cache/venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))') || return 1
    dir=$cache/$target
    mkdir -p "$dir"
    for tool in cc c++ ar ranlib dlltool; do
        # CMake wants one executable a tool; zig's caches stay under build/ too.
        printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR=%s exec %s %s%s "$@"\n' "$cache/cache" "$zig" "$tool" \
            "$(case $tool in cc|c++) echo " -target $target" ;; esac)" >"$dir/$tool"
        chmod +x "$dir/$tool"
    done
    case $target in
        *-linux-*) system=Linux ;;
        *-macos*) system=Darwin ;;
        *-windows-*) system=Windows ;;
    esac
    processor=${target%%-*}
    [ "$system" != Darwin ] || processor=${processor/aarch64/arm64}
    [ "$system" != Windows ] || processor=${processor/x86_64/AMD64}
    cat >"$dir/toolchain.cmake" <<CMAKE
set(CMAKE_SYSTEM_NAME $system)
set(CMAKE_SYSTEM_PROCESSOR $processor)
set(CMAKE_C_COMPILER "$dir/cc")
set(CMAKE_CXX_COMPILER "$dir/c++")
set(CMAKE_AR "$dir/ar" CACHE FILEPATH "")
set(CMAKE_RANLIB "$dir/ranlib" CACHE FILEPATH "")
CMAKE
    if [ "$system" = Darwin ]; then
        # zig's linker makes no bundles (-bundle gives an executable): a module is a dylib
        echo 'set(CMAKE_SHARED_MODULE_CREATE_CXX_FLAGS "-shared")' >"$dir/rules.cmake"
        echo "set(CMAKE_USER_MAKE_RULES_OVERRIDE \"$dir/rules.cmake\")" >>"$dir/toolchain.cmake"
    fi
    echo "$dir"
}

# Makes an aarch64 CPython 3.13 runnable under qemu-user, without touching
# the system: Debian 13's python3.13 and its libraries fetched with a private
# APT configuration (the arm64 architecture, its own lists and cache) and
# unpacked into a sysroot, all under build/cache/arm64 and made once. Prints
# the path of a wrapper that runs that python3.13; installing wheels into it
# is `kiv_aarch64_pip WRAPPER ARGS...`. Needs kiv_aarch64_tools' qemu-aarch64.
kiv_aarch64_python() {
    local cache=$PWD/build/cache/arm64 conf root pkgs deb
    root=$cache/sysroot
    if [ ! -f "$cache/done" ]; then
        rm -rf "$cache"
        mkdir -p "$cache"/apt/{lists/partial,archives/partial,sources.list.d,preferences.d} "$root"
        touch "$cache/apt/status"
        conf=$cache/apt/apt.conf
        cat >"$conf" <<APT
APT::Architecture "arm64";
APT::Architectures { "arm64"; };
Dir::State "$cache/apt";
Dir::State::Lists "$cache/apt/lists";
Dir::State::status "$cache/apt/status";
Dir::Cache "$cache/apt";
Dir::Cache::Archives "$cache/apt/archives";
Dir::Etc::SourceList "$cache/apt/sources.list";
Dir::Etc::SourceParts "$cache/apt/sources.list.d";
Dir::Etc::Preferences "$cache/apt/preferences";
Dir::Etc::PreferencesParts "$cache/apt/preferences.d";
APT
        # Debian 13: the first release with python3.13
        echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian trixie main" \
            >"$cache/apt/sources.list"
        kiv_quiet apt-get -c "$conf" update || return 1
        # Everything python3.13 needs (nothing counts as installed), and the
        # C++ runtime for NumPy's and pyarrow's wheels.
        kiv_quiet apt-get -c "$conf" install -y --download-only --no-install-recommends \
            python3.13 libstdc++6 libgcc-s1 || return 1
        for deb in "$cache"/apt/archives/*.deb; do dpkg -x "$deb" "$root" || return 1; done
        # the merged /usr that Debian's base-files would make
        ln -sfn usr/lib "$root/lib" && ln -sfn usr/bin "$root/bin" || return 1
        kiv_aarch64_compile "$root/usr/lib/python3.13" || return 1
        touch "$cache/done"
    fi
    # -0: sys.executable is this wrapper, so that subprocesses run under qemu too.
    printf '#!/bin/sh\nexec qemu-aarch64 -L %s -0 "$0" %s "$@"\n' "$root" "$root/usr/bin/python3.13" >"$cache/python3.13"
    chmod +x "$cache/python3.13"
    echo "$cache/python3.13"
}

# Builds a wheel of $3 (the working tree or an sdist) with zig's clang for
# zig's target $1 (x86_64-linux-gnu.2.17, aarch64-linux-gnu.2.17) into the
# folder $2, with the build frontend and NumPy of the venv $4; prints its
# path. The module unwinds with the target's libgcc_s, as a g++ build does:
# glibc's pthread_exit unwinds daemon threads with it (aarch64: from the
# sysroot of kiv_aarch64_python).
kiv_zig_wheel() {
    local target=$1 out=$2 source=$3 venv=$4 toolchain numpy unwind where=()
    toolchain=$(kiv_zig_toolchain "$target") || return 1
    numpy=$("$venv/bin/python" -c 'import numpy; print(numpy.get_include())') || return 1
    case $target in
        x86_64-*) unwind=$(g++ -print-file-name=libgcc_s.so.1) ;;
        aarch64-*) unwind=$PWD/build/cache/arm64/sysroot/usr/lib/aarch64-linux-gnu/libgcc_s.so.1 ;;
    esac
    [ -f "$unwind" ] || { echo "no libgcc_s.so.1 for $target" >&2; return 1; }
    mkdir -p "$out"
    rm -f "$out"/kiv-*.whl
    # A tree's build folder is kept for the next build (an sdist's is new each time).
    [ ! -d "$source" ] || where=(-Cbuild-dir="$PWD/build/zig-$target")
    # The platform tag is the target's; NumPy's headers are the same for both.
    _PYTHON_HOST_PLATFORM=linux-${target%%-*} kiv_quiet "$venv/bin/python" -m build --wheel --outdir "$out" \
        -Ccmake.define.CMAKE_TOOLCHAIN_FILE="$toolchain/toolchain.cmake" \
        -Ccmake.define.KIV_NUMPY_INCLUDE="$numpy" -Ccmake.define.KIV_UNWIND_LIBRARY="$unwind" \
        "${where[@]}" "$source" || return 1
    ls "$out"/kiv-*.whl
}

# Compiles the Python files in the folders $@ of the aarch64 sysroot to
# bytecode, as Debian's and pip's installs would have: the interpreter under
# qemu cannot write it there (new files go to the host's paths), and
# compiling at each start costs most of a second run's time. A native
# CPython 3.13 does it where there is one.
kiv_aarch64_compile() {
    local root=$PWD/build/cache/arm64/sysroot py=() p
    for p in $(kiv_find_pythons); do
        [ "$(kiv_py_version "$p")" != 3.13 ] || { py=("$p"); break; }
    done
    [ ${#py[@]} -gt 0 ] || py=(qemu-aarch64 -L "$root" "$root/usr/bin/python3.13")
    "${py[@]}" -m compileall -q -j 0 -s "$root" -p / "$@" >/dev/null || true  # some test data do not compile
}

# pip install ARGS... for the aarch64 python of kiv_aarch64_python, with the
# host's pip of the venv $1: wheels only, into its site-packages.
kiv_aarch64_pip() {
    local venv=$1 site=$PWD/build/cache/arm64/sysroot/usr/local/lib/python3.13/dist-packages
    shift
    kiv_quiet "$venv/bin/python" -m pip install --disable-pip-version-check --target "$site" --upgrade \
        --platform manylinux_2_17_aarch64 --platform manylinux_2_28_aarch64 --platform linux_aarch64 \
        --python-version 3.13 --implementation cp --abi cp313 --only-binary=:all: "$@" || return 1
    kiv_aarch64_compile "$site"
}

# NumPy 2 and the test requirements for the aarch64 python (kept until the
# requirement files change), with the host's pip of the venv $1.
kiv_aarch64_requirements() {
    local stamp=$PWD/build/cache/arm64/requirements want
    want=$(cat tests/requirements.txt examples/requirements.txt)
    [ "$(cat "$stamp" 2>/dev/null)" != "$want" ] || return 0
    rm -rf "$PWD/build/cache/arm64/sysroot/usr/local/lib/python3.13"
    kiv_aarch64_pip "$1" "numpy>=2" -r tests/requirements.txt || return 1
    echo "$want" >"$stamp"
}

# Checks a Linux build of the module, $1: no glibc symbol newer than $2, and
# PyInit_kiv the only symbol it exports.
kiv_check_linux_library() {
    local lib=$1 most=$2 newest exports
    newest=$(readelf --dyn-syms -W "$lib" | grep -o '@GLIBC_[0-9.]*' | sed 's/@GLIBC_//' | sort -uV | tail -n 1)
    exports=$(readelf --dyn-syms -W "$lib" | awk '$1 ~ /^[0-9]+:$/ && $7 != "UND" && $5 != "LOCAL" && $4 != "SECTION" && $8 != "" {print $8}' | tr '\n' ' ')
    echo "   newest glibc symbol: $newest; exports: $exports"
    [ "$(printf '%s\n' "$newest" "$most" | sort -V | tail -n 1)" = "$most" ] || { echo "   needs glibc $newest, newer than $most" >&2; return 1; }
    [ "$exports" = "PyInit_kiv " ] || { echo "   exports more than PyInit_kiv" >&2; return 1; }
}

# NumPy's C headers as NumPy's wheel for the platform tag $1 has them
# (their configuration header differs between systems), downloaded once with
# the pip of the venv $2 into build/cache; prints the include folder.
kiv_numpy_headers() {
    local cache=$PWD/build/cache/numpy-headers/$1
    if [ ! -d "$cache/include" ]; then
        rm -rf "$cache"
        kiv_quiet "$2/bin/python" -m pip download --disable-pip-version-check --no-deps --only-binary=:all: \
            --platform "$1" --python-version 3.12 -d "$cache/wheel" "numpy>=2" || return 1
        "$2/bin/python" - "$cache" <<'PY' || return 1
import pathlib, sys, zipfile
cache = pathlib.Path(sys.argv[1])
with zipfile.ZipFile(next((cache / "wheel").glob("numpy-*.whl"))) as wheel:
    for name in wheel.namelist():
        if name.startswith("numpy/_core/include/"):
            wheel.extract(name, cache / "unpacked")
(cache / "unpacked" / "numpy" / "_core" / "include").rename(cache / "include")
PY
    fi
    echo "$cache/include"
}
