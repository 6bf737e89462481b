#!/bin/sh
# SPDX-License-Identifier: MIT
# The make targets check what they need before they build: with a Debian package missing
# (a dpkg-query that reports it so), make names it and ./quickstart TARGET, and stops with
# status 2; an optional one is named and stops nothing. quickstart lists packages and locales apart, goes on without root when only locales
# are missing, and memcheck.sh fails a run in which nothing ran under valgrind.
# Argument: the source folder. Nothing is installed: dpkg-query, apt-get, localedef, id and
# locale are fakes.
set -eu
src=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset QUILLWORKS_CHECKED MAKEFLAGS MFLAGS MAKELEVEL
mkdir -p "$work/src/debian" "$work/src/tests" "$work/bin"
cp "$src/Makefile" "$src/quickstart" "$work/src/"
cp "$src/debian/control" "$work/src/debian/"
cp "$src/tests/memcheck.sh" "$work/src/tests/"
# Every package is installed but those in $HIDDEN.
cat >"$work/bin/dpkg-query" <<'FAKE'
#!/bin/sh
for package; do :; done
case " $HIDDEN " in *" $package "*) exit 1 ;; esac
echo 'install ok installed'
FAKE
printf '#!/bin/sh\necho "$FAKE_UID"\n' >"$work/bin/id"
printf '#!/bin/sh\necho C\n' >"$work/bin/locale"
printf '#!/bin/sh\necho "$(basename "$0") $*"\n' >"$work/bin/apt-get"
cp "$work/bin/apt-get" "$work/bin/localedef"
chmod +x "$work/bin/"*
PATH=$work/bin:$PATH
export PATH FAKE_UID=0 HIDDEN=""
failed=0
fail() { echo "FAILED: $*"; failed=1; }

# expect STATUS TEXT COMMAND...: runs COMMAND in the copy, which must exit with STATUS and say
# TEXT (a fixed string) on its standard output or error.
expect() {
  status=$1 text=$2
  shift 2
  got=0
  (cd "$work/src" && "$@") >"$work/said" 2>&1 || got=$?
  [ $got -eq "$status" ] || fail "$*: status $got, expected $status"
  grep -q -F -e "$text" "$work/said" || fail "$*: no \"$text\" in: $(head -c 600 "$work/said")"
}

# CMAKE=false: should a check let the target go on, the build fails at once.
for pair in memcheck:valgrind check-32:g++-multilib package:dpkg-dev fuzz:clang-14 \
    demo:gettext check:libgtest-dev bench:qemu-user; do
  target=${pair%%:*} HIDDEN=${pair#*:}
  expect 2 "make $target: missing Debian packages: $HIDDEN" make -s "$target" CMAKE=false
  expect 2 "to install them and run it: ./quickstart $target" make -s "$target" CMAKE=false
done
# An optional package is named, and stops nothing.
HIDDEN=g++-multilib
expect 0 "make bench: without g++-multilib the 32-bit x86 build is neither timed nor counted" \
  sh quickstart --check bench
HIDDEN=g++-aarch64-linux-gnu
expect 0 "make bench: without g++-aarch64-linux-gnu the arm64 builds are not counted" \
  sh quickstart --check bench
HIDDEN=""

# As root: packages and locales installed, each on its own, then make (-n: nothing built).
HIDDEN=valgrind
expect 0 "installing: packages valgrind; locales de_DE.UTF-8 fr_FR.UTF-8" sh quickstart memcheck -n
expect 0 "localedef -i fr_FR -f UTF-8 fr_FR.UTF-8" sh quickstart memcheck -n
# Without root or sudo: missing packages stop it; missing locales alone do not.
if command -v sudo >/dev/null; then
  echo "sudo is installed: the cases without root or sudo are not tried"
else
  FAKE_UID=1000
  expect 2 "as root, run:" sh quickstart memcheck -n
  HIDDEN=""
  expect 0 "missing locales: de_DE.UTF-8 fr_FR.UTF-8 (their tests are skipped)" \
    sh quickstart check -n
fi

if command -v valgrind >/dev/null; then
  expect 1 "memcheck: no program ran under valgrind" sh tests/memcheck.sh true
fi
[ $failed -eq 0 ] && echo "every target said what it needs"
exit $failed
