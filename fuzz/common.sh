# Shared by run.sh and smoke.sh: finds (or installs) clang with libFuzzer and
# builds the harnesses.  Sourced, not run.

FUZZ_DIR=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
ROOT=$(cd "$FUZZ_DIR/.." && pwd)
HARNESSES=(header extern_inf functions_inf scan_index chroms_inf chro_dat encoding_a encoding_b encoding_c run bulk)

# True when $CXX can build and link a libFuzzer target with ASan and UBSan.
fuzz_toolchain_works() {
    command -v "$CXX" >/dev/null 2>&1 || return 1
    local t
    t=$(mktemp -d)
    printf '%s\n' '#include <cstddef>' '#include <cstdint>' \
        'extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t*, std::size_t) { return 0; }' >"$t/t.cpp"
    "$CXX" -std=c++20 -fsanitize=fuzzer,address,undefined "$t/t.cpp" -o "$t/t" >/dev/null 2>&1
    local rc=$?
    rm -rf "$t"
    return $rc
}

# Installs clang and its runtime libraries (libFuzzer, sanitizers) from the
# distribution when they are missing.  Returns non-zero when that is not
# possible here.
ensure_fuzz_toolchain() {
    CXX=${CXX:-clang++}
    fuzz_toolchain_works && return 0
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "fuzz: $CXX with libFuzzer is not available and cannot be installed (need root and apt-get)" >&2
        return 1
    fi
    echo "fuzz: installing clang and libFuzzer with apt-get" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null 2>&1 || true
    apt-get install -y -qq --no-install-recommends clang >/dev/null 2>&1 || return 1
    CXX=clang++
    if ! fuzz_toolchain_works; then
        # Debian ships libFuzzer and the sanitizer runtimes apart from the
        # compiler, in libclang-rt-<major>-dev.
        local major
        major=$(clang++ -dumpversion 2>/dev/null | cut -d. -f1)
        apt-get install -y -qq --no-install-recommends "libclang-rt-$major-dev" >/dev/null 2>&1 || return 1
    fi
    fuzz_toolchain_works
}

# cmake and ninja, from the distribution when missing.
ensure_build_tools() {
    local missing=()
    command -v cmake >/dev/null 2>&1 || missing+=(cmake)
    command -v ninja >/dev/null 2>&1 || missing+=(ninja-build)
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
        echo "fuzz: ${missing[*]} missing and cannot be installed (need root and apt-get)" >&2
        return 1
    fi
    echo "fuzz: installing ${missing[*]} with apt-get" >&2
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq >/dev/null 2>&1 || true
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null 2>&1
}

# build_harnesses BUILD_DIR
build_harnesses() {
    local build=$1
    ensure_build_tools || return 1
    cmake -S "$FUZZ_DIR" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="$CXX" >/dev/null &&
        cmake --build "$build" -- -j "${FUZZ_BUILD_JOBS:-2}"
}

# The libFuzzer options every run uses.  One process (no -jobs/-workers:
# the machine is shared).  A single allocation above 128 MiB is a finding:
# every input here is at most a few KiB.
fuzz_options() {
    local name=$1
    local opts=(-max_len="$(max_len_for "$name")" -malloc_limit_mb=128 -rss_limit_mb=2048 -timeout=10
        -print_final_stats=1)
    local dict=$FUZZ_DIR/dict/$(dict_for "$name").dict
    [ -f "$dict" ] && opts+=(-dict="$dict")
    printf '%s\n' "${opts[@]}"
}

# Both whole-directory harnesses read the same file markers.
dict_for() {
    case $1 in
        bulk) echo run ;;
        *) echo "$1" ;;
    esac
}

max_len_for() {
    case $1 in
        run | bulk) echo 8192 ;;
        functions_inf) echo 4160 ;;   # ten 416-byte records
        *) echo 4096 ;;
    esac
}
