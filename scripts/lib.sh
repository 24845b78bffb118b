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

# A long command's steps, each named, timed and judged, and at its end a
# summary whose last lines name the steps that failed. kiv_steps_begin once
# (it sets the EXIT trap), kiv_step NAME where a step begins, and
# kiv_step_failed where one fails (`command || kiv_step_failed`); a command
# that stops the script fails the step it stopped in. The script's status is
# 1 when a step failed.
kiv_steps_begin() {
    kiv_steps=() kiv_step_name="" kiv_step_ok=1 kiv_step_start=$SECONDS kiv_steps_start=$SECONDS
    trap 'kiv_steps_end $?' EXIT
}

kiv_step() {
    kiv_step_close
    kiv_step_name=$1 kiv_step_ok=1 kiv_step_start=$SECONDS
    echo "== $1"
}

kiv_step_failed() { kiv_step_ok=0; }

kiv_step_close() {
    [ -n "$kiv_step_name" ] || return 0
    kiv_steps+=("$kiv_step_ok $((SECONDS - kiv_step_start)) $kiv_step_name")
    kiv_step_name=""
}

kiv_steps_end() {
    local status=$1 step ok took name failed=()
    if [ "$status" -ne 0 ] && [ -n "$kiv_step_name" ]; then
        kiv_step_ok=0 kiv_step_name+=" (stopped the command)"
    fi
    kiv_step_close
    [ ${#kiv_steps[@]} -gt 0 ] || exit "$status"
    echo "== steps ($((SECONDS - kiv_steps_start)) s in all)"
    for step in "${kiv_steps[@]}"; do
        read -r ok took name <<<"$step"
        printf '   %-6s %5d s  %s\n' "$([ "$ok" = 1 ] && echo ok || echo FAILED)" "$took" "$name"
        [ "$ok" = 1 ] || failed+=("$name")
    done
    if [ ${#failed[@]} -gt 0 ]; then
        echo "== ${#failed[@]} of ${#kiv_steps[@]} steps FAILED:"
        for name in "${failed[@]}"; do echo "   $name"; done
        [ "$status" -ne 0 ] || status=1
    fi
    exit "$status"
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

# Prints the URI of the Debian archive in this machine's APT sources and the
# keyring it is signed with (its Signed-By, else Debian's default keyring),
# separated by a space: the entry whose suites are Debian's releases, not its
# security updates, from deb822 files (*.sources) or one-line lists. A mirror
# or proxy set up there serves the sysroots below too. Status 1 when there is
# none (no Debian system). Arguments name other files to read.
kiv_debian_archive() {
    local files=() f
    [ $# -gt 0 ] || set -- /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources
    for f in "$@"; do
        [ -f "$f" ] && files+=("$f")
    done
    [ ${#files[@]} -gt 0 ] || return 1
    awk '
        function debian(suites,   n, s, i) {
            n = split(suites, s, /[ \t]+/)
            for (i = 1; i <= n; i++)
                if (s[i] != "" && s[i] !~ /^(jessie|stretch|buster|bullseye|bookworm|trixie|forky|duke|sid|experimental|(old)*stable|testing|unstable)(-updates|-backports|-proposed-updates)?$/)
                    return 0
            return suites ~ /[^ \t]/
        }
        function emit(uri, key) {
            if (found || uri == "") return
            sub(/\/+$/, "", uri)
            print uri, (key ~ /^\// ? key : "/usr/share/keyrings/debian-archive-keyring.gpg")
            found = 1
        }
        function first(text) { sub(/^[ \t]+/, "", text); sub(/[ \t].*/, "", text); return text }
        function stanza() {
            if ((" " f["types"] " ") ~ /[ \t]deb[ \t]/ && tolower(f["enabled"]) != "no" && debian(f["suites"]))
                emit(first(f["uris"]), first(f["signed-by"]))
            split("", f)
        }
        FNR == 1 { stanza(); deb822 = FILENAME ~ /\.sources$/ }
        deb822 && /^[ \t]*$/ { stanza(); next }
        deb822 && /^[^ \t#][^:]*:/ {
            name = tolower(substr($0, 1, index($0, ":") - 1))
            f[name] = substr($0, index($0, ":") + 1)
            gsub(/^[ \t]+|[ \t]+$/, "", f[name])
            next
        }
        deb822 { next }
        $1 == "deb" {
            line = $0
            options = ""
            if (match(line, /\[[^]]*\]/)) {
                options = substr(line, RSTART + 1, RLENGTH - 2)
                line = substr(line, 1, RSTART - 1) " " substr(line, RSTART + RLENGTH)
            }
            split(line, w, /[ \t]+/)
            key = ""
            if (match(options, /signed-by=[^ \t]+/)) key = substr(options, RSTART + 10, RLENGTH - 10)
            if (debian(w[3])) emit(w[2], key)
        }
        END { stanza(); exit !found }
    ' "${files[@]}"
}

# Unpacks Debian's packages $4... for the architecture $2 (arm64, amd64) from
# the suite $3 (trixie, unstable), with all they depend on, into the sysroot
# $1/sysroot, without touching the system: a private APT configuration (the
# architecture, its own lists and cache under $1) with the machine's own
# Debian archive (kiv_debian_archive). Does nothing once $1/done exists, which
# the caller makes when it has finished the sysroot.
kiv_debian_sysroot() {
    local cache=$1 arch=$2 suite=$3 archive conf deb root
    shift 3
    [ ! -f "$cache/done" ] || return 0
    archive=$(kiv_debian_archive) || { echo "no Debian archive in this machine's APT sources" >&2; return 1; }
    root=$cache/sysroot
    rm -rf "$cache"
    mkdir -p "$cache"/apt/{lists/partial,archives/partial,sources.list.d,preferences.d} "$root"
    touch "$cache/apt/status"
    conf=$cache/apt/apt.conf
    cat >"$conf" <<APT
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
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
    echo "deb [signed-by=${archive#* }] ${archive%% *} $suite main" >"$cache/apt/sources.list"
    kiv_quiet apt-get -c "$conf" update || return 1
    # Nothing counts as installed: everything the packages need comes along.
    kiv_quiet apt-get -c "$conf" install -y --download-only --no-install-recommends "$@" || return 1
    for deb in "$cache"/apt/archives/*.deb; do dpkg -x "$deb" "$root" || return 1; done
    # the merged /usr that Debian's base-files would make
    ln -sfn usr/lib "$root/lib" && ln -sfn usr/bin "$root/bin"
}

# pip install ARGS... into the folder $2 for a CPython $3 (3.13, 3.15) on
# Linux on $4 (x86_64, aarch64), with the host's pip of the venv $1: wheels
# only, as for a sysroot's interpreter that has no pip of its own.
kiv_sysroot_pip() {
    local venv=$1 site=$2 version=$3 arch=$4
    shift 4
    kiv_quiet "$venv/bin/python" -m pip install --disable-pip-version-check --target "$site" --upgrade \
        --platform "manylinux_2_17_$arch" --platform "manylinux_2_28_$arch" --platform "linux_$arch" \
        --python-version "$version" --implementation cp --abi "cp${version/./}" --only-binary=:all: "$@"
}

# Makes an aarch64 CPython 3.13 runnable under qemu-user: Debian 13's
# python3.13 and its libraries in a sysroot (kiv_debian_sysroot) under
# build/cache/arm64, made once. Prints the path of a wrapper that runs that
# python3.13; installing wheels into it is `kiv_aarch64_pip WRAPPER ARGS...`.
# Needs kiv_aarch64_tools' qemu-aarch64.
kiv_aarch64_python() {
    local cache=$PWD/build/cache/arm64 root
    root=$cache/sysroot
    if [ ! -f "$cache/done" ]; then
        # Debian 13: the first release with python3.13; the C++ runtime is for
        # NumPy's and pyarrow's wheels
        kiv_debian_sysroot "$cache" arm64 trixie python3.13 libstdc++6 libgcc-s1 || return 1
        kiv_aarch64_compile "$root/usr/lib/python3.13" || return 1
        touch "$cache/done"
    fi
    # -0: sys.executable is this wrapper, so that subprocesses run under qemu too.
    printf '#!/bin/sh\nexec qemu-aarch64 -L %s -0 "$0" %s "$@"\n' "$root" "$root/usr/bin/python3.13" >"$cache/python3.13"
    chmod +x "$cache/python3.13"
    echo "$cache/python3.13"
}

# The CPythons newer than this machine's that the suite runs on: Debian
# unstable's, on x86-64 only.
kiv_newest_versions="3.14 3.15"

# Makes Debian unstable's python$1 (one of kiv_newest_versions) runnable here:
# the interpreters, their headers and libraries in one sysroot
# (kiv_debian_sysroot) under build/cache/newest, made once, run by the
# sysroot's own loader with its libraries (newer than the system's). Prints
# the path of a wrapper that runs it; sys.executable is the wrapper, so that
# subprocesses run alike, and beside Debian's python it finds its own
# library. Installing wheels into it is kiv_newest_pip (kiv_newest_kiv for kiv).
kiv_newest_python() {
    local version=$1 cache=$PWD/build/cache/newest root v packages=()
    root=$cache/sysroot
    if [ ! -f "$cache/done" ]; then
        for v in $kiv_newest_versions; do packages+=("python$v" "libpython$v-dev"); done
        kiv_debian_sysroot "$cache" amd64 unstable "${packages[@]}" libstdc++6 libgcc-s1 || return 1
        for v in $kiv_newest_versions; do
            # Debian's pyconfig.h includes its architecture's from the system's
            # include folder, where a build here does not look.
            cp "$root/usr/include/x86_64-linux-gnu/python$v/pyconfig.h" "$root/usr/include/python$v/pyconfig.h" ||
                return 1
        done
        touch "$cache/done"
    fi
    [ -x "$root/usr/bin/python$version" ] || { echo "no python$version in $root" >&2; return 1; }
    printf '#!/bin/sh\nexec %s --argv0 "$0" --library-path %s %s "$@"\n' \
        "$root/usr/lib/x86_64-linux-gnu/ld-linux-x86-64.so.2" "$root/usr/lib/x86_64-linux-gnu" \
        "$root/usr/bin/python$version" >"$root/usr/bin/python$version-run"
    chmod +x "$root/usr/bin/python$version-run"
    echo "$root/usr/bin/python$version-run"
}

# pip install ARGS... for kiv_newest_python's python$2, with the host's pip
# of the venv $1.
kiv_newest_pip() {
    local venv=$1 version=$2
    shift 2
    kiv_sysroot_pip "$venv" "$PWD/build/cache/newest/sysroot/usr/local/lib/python$version/dist-packages" \
        "$version" x86_64 "$@"
}

# Installs kiv's wheel $3 for kiv_newest_python's python$2 (with the host's
# pip of the venv $1) in place of the one there: pip's --target leaves files
# of another name behind, and the module's name may differ.
kiv_newest_kiv() {
    local site=$PWD/build/cache/newest/sysroot/usr/local/lib/python$2/dist-packages
    rm -rf "$site"/kiv.* "$site"/kiv-*
    kiv_newest_pip "$1" "$2" --no-deps "$3"
}

# NumPy 2, pip and the test requirements for kiv_newest_python's python$2
# (kept until the requirement files change), with the host's pip of the venv
# $1.
kiv_newest_requirements() {
    local venv=$1 version=$2 stamp want
    stamp=$PWD/build/cache/newest/requirements-$version
    want=$(cat tests/requirements.txt examples/requirements.txt)
    [ "$(cat "$stamp" 2>/dev/null)" != "$want" ] || return 0
    rm -rf "$PWD/build/cache/newest/sysroot/usr/local/lib/python$version"
    kiv_newest_pip "$venv" "$version" "numpy>=2" pip -r tests/requirements.txt || return 1
    echo "$want" >"$stamp"
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
# host's pip of the venv $1.
kiv_aarch64_pip() {
    local venv=$1 site=$PWD/build/cache/arm64/sysroot/usr/local/lib/python3.13/dist-packages
    shift
    kiv_sysroot_pip "$venv" "$site" 3.13 aarch64 "$@" || return 1
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

# The module for macOS 11+ (x86-64 and arm64) and Windows x86-64, compiled
# and linked with zig's clang in folders under $1 (CMake and NumPy's headers
# from the venv $2), each checked to export PyInit_kiv alone. Python's headers
# are this CPython's; for Windows with a pyconfig.h of Windows' sizes and
# import macros written here, and linked against python3.dll through an
# import library made from the stable ABI's symbol list (CPython's test of it).
kiv_check_elsewhere() {
    local dir=$1 venv status=0 sudo=() target platform toolchain include numpy build library exports extra
    venv=$(cd "$2" && pwd) || return 1
    kiv_quiet "$venv/bin/python" -m pip install --disable-pip-version-check cmake ninja || return 1
    if ! command -v llvm-nm >/dev/null 2>&1 || ! command -v llvm-readobj >/dev/null 2>&1; then
        [ "$(id -u)" -eq 0 ] || sudo=(sudo)
        echo "   installing llvm with apt-get"
        { kiv_quiet "${sudo[@]}" apt-get update -q &&
          kiv_quiet "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q llvm; } ||
            { echo "   no llvm-nm and llvm-readobj" >&2; return 1; }
    fi
    include=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["include"])')
    mkdir -p "$dir/windows/include"
    cp -r "$include"/. "$dir/windows/include/"
    cat >"$dir/windows/include/pyconfig.h" <<'H'
/* What the limited API reads of CPython's pyconfig.h for 64-bit Windows. */
#ifndef Py_CONFIG_H
#define Py_CONFIG_H
#define MS_WIN32
#define MS_WIN64
#define MS_WINDOWS
#define NT_THREADS
#define WITH_THREAD
#define Py_ENABLE_SHARED 1
#define HAVE_DECLSPEC_DLL
#define SIZEOF_SHORT 2
#define SIZEOF_INT 4
#define SIZEOF_LONG 4
#define SIZEOF_LONG_LONG 8
#define SIZEOF_FLOAT 4
#define SIZEOF_DOUBLE 8
#define SIZEOF_VOID_P 8
#define SIZEOF_SIZE_T 8
#define SIZEOF_TIME_T 8
#define SIZEOF_OFF_T 4
#define SIZEOF_FPOS_T 8
#define SIZEOF_WCHAR_T 2
#define SIZEOF__BOOL 1
#define SIZEOF_HKEY 8
#define HAVE_WCHAR_H 1
#endif
H
    "$venv/bin/python" - "$(dirname "$include")" >"$dir/windows/python3.def" <<'PY' || return 1
import ast, pathlib, re, sys, sysconfig
# CPython's own test of the stable ABI lists its symbols, Windows' too.
source = pathlib.Path(sysconfig.get_paths()["stdlib"], "test", "test_stable_abi_ctypes.py").read_text()
names = set()
for node in ast.walk(ast.parse(source)):
    targets = node.targets if isinstance(node, ast.Assign) else [node.target] if isinstance(node, ast.AugAssign) else []
    if any(isinstance(t, ast.Name) and t.id == "SYMBOL_NAMES" for t in targets):
        names.update(e.value for e in node.value.elts)
data = re.compile(r"^(PyExc_\w+|_?Py\w*_Type|_Py_\w+Struct|Py_FileSystemDefault\w+|Py_HasFileSystemDefaultEncoding|Py_UTF8Mode|PyOS_InputHook|PyOS_ReadlineFunctionPointer|PyStructSequence_UnnamedField)$")
print("LIBRARY python3.dll\nEXPORTS")
for name in sorted(names):
    print(name, "DATA" if data.match(name) else "")
PY
    for target in x86_64-macos.11.0 aarch64-macos.11.0 x86_64-windows-gnu; do
        case $target in
            x86_64-macos*) platform=macosx_11_0_x86_64 ;;
            aarch64-macos*) platform=macosx_11_0_arm64 ;;
            *windows*) platform=win_amd64 ;;
        esac
        toolchain=$(kiv_zig_toolchain "$target") || return 1
        numpy=$(kiv_numpy_headers "$platform" "$venv") || return 1
        build=$dir/$target
        extra=(-DPython_INCLUDE_DIR="$include")
        if [ "$platform" = win_amd64 ]; then
            kiv_quiet "$toolchain/dlltool" -d "$dir/windows/python3.def" -l "$dir/windows/python3.lib" -m i386:x86-64 || return 1
            extra=(-DPython_INCLUDE_DIR="$PWD/$dir/windows/include" -DPython_SABI_LIBRARY="$PWD/$dir/windows/python3.lib")
        fi
        if ! kiv_quiet "$venv/bin/cmake" -S . -B "$build" -G Ninja -DCMAKE_MAKE_PROGRAM="$venv/bin/ninja" \
                -DCMAKE_TOOLCHAIN_FILE="$toolchain/toolchain.cmake" -DKIV_BUILD_MODULE=ON \
                -DKIV_NUMPY_INCLUDE="$numpy" "${extra[@]}" ||
           ! kiv_quiet "$venv/bin/cmake" --build "$build" --target kiv; then
            echo "   $target: does not build" >&2
            status=1
            continue
        fi
        library=$(find "$build" -maxdepth 1 \( -name 'kiv*.so' -o -name 'kiv*.pyd' \) | head -n 1)
        if [ "$platform" = win_amd64 ]; then
            exports=$(llvm-readobj --coff-exports "$library" | sed -n 's/^ *Name: //p')
        else
            # zig's linker has no export list: its libc++ exports the replaceable
            # operators new and delete, and a dylib has the linker's two symbols
            exports=$(llvm-nm -g --defined-only -C "$library" | cut -d ' ' -f 3- |
                grep -v -E '^(operator (new|delete)(\[\])?\(.*\)|___dso_handle|__mh_dylib_header)$')
        fi
        echo "   $target: $(basename "$library"), $(du -k "$library" | cut -f1) KiB, exports: $(echo $exports)"
        case $exports in
            PyInit_kiv | _PyInit_kiv) ;;
            *) echo "   exports more than PyInit_kiv" >&2; status=1 ;;
        esac
    done
    return $status
}
