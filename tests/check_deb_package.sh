#!/usr/bin/env bash
# Builds the Debian package with CPack, installs it on this machine with
# dpkg -i, checks what a user gets (the commands, `man velkor`, `man avqdump`,
# the bash completion, the licence, the documentation and examples, whose
# worked examples it runs with the installed programs, libavq, against
# which it builds the example program, and the Python module avq, which
# Debian's python3 imports and reads a file with), and
# removes it again with dpkg -r, checking that nothing is left behind.
#
# Changes the system, so it is not part of the regular test run. Needs root
# (or sudo). Run from anywhere:
#   tests/check_deb_package.sh [BUILD_DIR]
# BUILD_DIR (default: a fresh temporary directory) gets a Release build.
set -euo pipefail

src=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-}
own_build=0
if [[ -z $build ]]; then
    build=$(mktemp -d)
    own_build=1
fi
sudo=
if [[ $(id -u) -ne 0 ]]; then sudo=sudo; fi

step() { echo "== $*"; }
fail() {
    echo "FAIL: $*" >&2
    exit 1
}

if dpkg-query -W -f='${Status}' velkor 2>/dev/null | grep -q 'install ok installed'; then
    fail "a velkor package is installed already; remove it first (dpkg -r velkor)"
fi

installed=0
work=$(mktemp -d)
cleanup() {
    if ((installed)); then
        echo "== removing the package after a failure"
        $sudo dpkg -r velkor >/dev/null || true
    fi
    rm -rf "$work"
    if ((own_build)); then rm -rf "$build"; fi
}
trap cleanup EXIT

step "build (Release) and package in $build"
cmake -S "$src" -B "$build" -DCMAKE_BUILD_TYPE=Release -DVELKOR_TESTS=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(ls "$build"/velkor_*.deb)
echo "   $deb"
# The Python module, built for Debian's python3 when pybind11 and numpy are
# there, as the build says.
python_module=
if grep -q '^VELKOR_PYTHON_MODULE_BUILT:INTERNAL=ON' "$build/CMakeCache.txt"; then
    python_module=./usr/lib/python3/dist-packages/avq$(/usr/bin/python3 -c \
        'import sysconfig; print(sysconfig.get_config_var("EXT_SUFFIX"))')
fi

step "package metadata"
dpkg-deb --field "$deb"
dpkg-deb --field "$deb" Maintainer | grep -qx 'velkor developers' || fail "maintainer"
dpkg-deb --field "$deb" Depends | grep -q 'libc6' || fail "Depends does not name libc6"
dpkg-deb --contents "$deb" | awk '{print $6}' | sort >"$work/contents"
for f in ./usr/bin/velkor ./usr/bin/avqdump ./usr/share/man/man1/velkor.1.gz \
    ./usr/share/man/man1/avqdump.1.gz ./usr/share/bash-completion/completions/velkor \
    ./usr/share/bash-completion/completions/avqdump ./usr/share/doc/velkor/README.md \
    ./usr/share/doc/velkor/copyright ./usr/share/doc/velkor/examples/README.md \
    ./usr/share/doc/velkor/examples/station-4col.txt \
    ./usr/share/doc/velkor/examples/avq_first_samples.cpp ./usr/include/avq/avq.h \
    ./usr/include/avq/reader.h ./usr/include/avq/timeline.h ./usr/lib/libavq.a \
    ./usr/lib/pkgconfig/avq.pc ./usr/lib/cmake/avq/avqConfig.cmake \
    ./usr/lib/cmake/avq/avqTargets.cmake $python_module; do
    grep -qx "$f" "$work/contents" || fail "$f is not in the package"
done

step "dpkg -i"
$sudo dpkg -i "$deb"
installed=1
dpkg-query -W -f='${Status} ${Version}\n' velkor | grep -q 'install ok installed' ||
    fail "dpkg does not list velkor as installed"

step "commands"
[[ $(command -v velkor) == /usr/bin/velkor ]] || fail "velkor is not /usr/bin/velkor"
[[ $(command -v avqdump) == /usr/bin/avqdump ]] || fail "avqdump is not /usr/bin/avqdump"
version=$(velkor --version 2>&1) || fail "velkor --version failed"
echo "   velkor --version: $version"
[[ $version == "velkor Version "* ]] || fail "velkor --version printed: $version"
avqdump --version | grep -q '^avqdump (velkor) ' || fail "avqdump --version"

step "man velkor, man avqdump"
for page in velkor avqdump; do
    [[ $(man -w "$page") == /usr/share/man/man1/$page.1.gz ]] || fail "man -w $page: $(man -w "$page")"
    text=$(MANWIDTH=80 man "$page" 2>"$work/man.err") || fail "man $page failed"
    [[ ! -s $work/man.err ]] || fail "man $page wrote: $(cat "$work/man.err")"
    grep -q '^NAME' <<<"$text" || fail "man $page shows no NAME section"
    grep -Eq "^ +$page +- " <<<"$text" || fail "man $page shows no name line"
    grep -q '^EXIT STATUS' <<<"$text" || fail "man $page shows no EXIT STATUS"
    echo "   man $page: $(wc -l <<<"$text") lines"
done
MANWIDTH=80 man velkor | grep -q -- '--minutes-of-day' || fail "man velkor lacks --minutes-of-day"

step "bash completion"
for cmd in velkor avqdump; do
    f=/usr/share/bash-completion/completions/$cmd
    [[ -f $f ]] || fail "$f missing"
    bash -c "source '$f' && complete -p $cmd" | grep -q "_$cmd $cmd\$" ||
        fail "$f does not register a completion for $cmd"
done
# Complete "velkor --asc" as bash would.
got=$(bash -c 'source /usr/share/bash-completion/completions/velkor
    COMP_WORDS=(velkor --asc); COMP_CWORD=1; _velkor; echo "${COMPREPLY[*]}"')
[[ $got == --ascii ]] || fail "completing 'velkor --asc' gave '$got'"

step "the licence"
cmp -s /usr/share/doc/velkor/copyright "$src/LICENSE" ||
    fail "/usr/share/doc/velkor/copyright is not the LICENSE file"

step "a conversion with the installed programs and example data"
cp /usr/share/doc/velkor/examples/station-4col.txt "$work/"
(cd "$work" && velkor -4 station-4col.txt out.avq >/dev/null 2>&1) || fail "velkor failed"
(cd "$work" && avqdump --info out.avq) | grep -qx 'blocks: 5' || fail "avqdump --info"

step "libavq: the example program built against the installed library"
# shellcheck disable=SC2046 # pkg-config's flags are words
c++ -o "$work/first" /usr/share/doc/velkor/examples/avq_first_samples.cpp \
    $(pkg-config --cflags --libs avq) || fail "the example does not build with pkg-config"
(cd "$work" && ./first out.avq 1) | grep -qx 'form: binary' || fail "the example cannot read out.avq"

step "the Python module"
if [[ -n $python_module ]]; then
    # Debian's own interpreter, from a directory without anything named avq.
    (cd "$work" && /usr/bin/python3 -c '
import subprocess, avq
f = avq.read("out.avq")
csv = subprocess.run(["avqdump", "--csv", "out.avq"], capture_output=True, text=True,
                     check=True).stdout.splitlines()
assert f.data.shape == (len(csv) - 1, 3), f.data.shape
assert [int(x) for x in csv[-1].split(",")[3:]] == list(f.data[-1])
assert str(f.times()[1]) == csv[2].split(",")[0].replace("Z", "000"), f.times()[1]
avq.write("again.avq", f.data, f.start, f.fs, header=f.header)
assert open("again.avq", "rb").read() == open("out.avq", "rb").read()
print("   avq.read: %r; avq.write wrote it again" % f)') || fail "Debian's python3 cannot import avq and read out.avq"
else
    echo "   not built (no pybind11, python3-dev or python3-numpy)"
fi

step "the installed documentation: the paths it names, its examples"
doc=/usr/share/doc/velkor
for readme in $doc/README.md $doc/examples/README.md; do
    # Every installed path the text names exists (a pattern: some file).
    while read -r path; do
        compgen -G "$path" >/dev/null || fail "$readme names $path, which is not installed"
    done < <(grep -o "${doc}[^ \`)]*" "$readme" | sort -u)
    "$src/tests/run_readme_examples.sh" "$readme" /usr/bin "$doc" ||
        fail "the examples of $readme with the installed programs"
done
if command -v python3 >/dev/null; then
    mkdir "$work/made"
    python3 "$doc/examples/make_examples.py" "$work/made" || fail "make_examples.py"
    for f in "$doc"/examples/station-*.txt; do
        cmp -s "$f" "$work/made/${f##*/}" || fail "make_examples.py does not make $f again"
    done
else
    echo "   python3 is not installed: make_examples.py not run"
fi

step "dpkg -r"
$sudo dpkg -r velkor
installed=0
if dpkg-query -W -f='${Status}' velkor 2>/dev/null | grep -q 'install ok installed'; then
    fail "velkor is still installed"
fi
while read -r f; do
    f=${f#.}
    [[ $f == */ || -z $f ]] && continue
    [[ ! -e $f ]] || fail "$f is left after dpkg -r"
done <"$work/contents"
command -v velkor >/dev/null && fail "velkor is still on PATH"
echo "PASS: package built, installed, checked and removed"
