#!/usr/bin/env bash
# Checks what an install of a build tree ships, and that the shipped tool runs.
#
#   install_test.sh prefix BUILD_DIR MAKE_PACKAGE
#       cmake --install into a scratch prefix: exactly the tool, its manual
#       page and the README land there, the page names where the README
#       landed, and the installed tool expands and groups a sample package.
#   install_test.sh windows-prefix BUILD_DIR EMULATOR
#       the same for a Windows cross build: vantrel.exe and the README, and
#       the installed vantrel.exe runs under EMULATOR.
#   install_test.sh deb BUILD_DIR MAKE_PACKAGE VERSION
#       cpack makes a .deb of the build tree; its files and version are
#       checked, lintian (where installed) must find no error, and the tool
#       runs the sample package both from the .deb unpacked by dpkg-deb -x
#       and from a scratch root the .deb was installed into by dpkg -i.
set -euo pipefail
mode=$1 build=$2
scratch=$(mktemp -d)
scratch=$(cd "$scratch" && pwd -P)
trap 'rm -rf "$scratch"' EXIT

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# The files below $1, one relative path a line, sorted.
files_below() {
  (cd "$1" && find . -type f -o -type l) | sed 's|^\./||' | LC_ALL=C sort | tr '\n' ' '
}

# The demo's sample package: expand it with the tool $1, edit one loose file,
# group the folder back and expand again, checking each step's status,
# output and bytes.
run_sample() {
  local tool=$1 make_package=$2 dir output
  dir=$(mktemp -d "$scratch/run.XXXXXX")
  cd "$dir"
  printf 'old title\n' >title.old
  printf 'old level data\n' >level.old
  "$make_package" sample.dpk "title.txt=title.old" "maps\\level1.map=level.old"
  output=$("$tool" /E sample.dpk work) || fail "$tool /E ended with $?"
  [ "$output" = "$dir/work/title.txt"$'\n'"$dir/work/maps/level1.map" ] || fail "$tool /E printed: $output"
  cmp -s level.old work/maps/level1.map || fail "$tool /E wrote a wrong maps/level1.map"
  printf 'Level one, rebalanced\n' >work/maps/level1.map
  rm work/title.txt
  output=$("$tool" /P sample.dpk work) || fail "$tool /P ended with $?"
  [ "$output" = "$dir/work/maps/level1.map" ] || fail "$tool /P printed: $output"
  "$tool" /E sample.dpk again >/dev/null || fail "$tool /E of the grouped package ended with $?"
  cmp -s work/maps/level1.map again/maps/level1.map && cmp -s title.old again/title.txt ||
    fail "$tool /P did not group the edited file"
  cd - >/dev/null
}

case $mode in
prefix)
  cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
  installed=$(files_below "$scratch/prefix")
  [ "$installed" = "bin/vantrel share/doc/vantrel/README.md share/man/man1/vantrel.1 " ] ||
    fail "the install holds: $installed"
  grep -qx ".I $scratch/prefix/share/doc/vantrel/README.md" "$scratch/prefix/share/man/man1/vantrel.1" ||
    fail "the installed manual page does not name the installed README"
  run_sample "$scratch/prefix/bin/vantrel" "$3"
  ;;
windows-prefix)
  cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
  installed=$(files_below "$scratch/prefix")
  [ "$installed" = "README.md vantrel.exe " ] || fail "the install holds: $installed"
  output=$("$3" "$scratch/prefix/vantrel.exe" 2>/dev/null) && fail "vantrel.exe without arguments ended with 0"
  [[ $output == Usage:* ]] || fail "vantrel.exe without arguments printed: $output"
  ;;
deb)
  make_package=$3 version=$4
  cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/cpack" >"$scratch/cpack.log" ||
    fail "cpack: $(cat "$scratch/cpack.log")"
  debs=("$scratch"/cpack/*.deb)
  deb=${debs[0]}
  [ "$(dpkg-deb -f "$deb" Package Version Section)" = $'Package: vantrel\nVersion: '"$version"$'\nSection: utils' ] ||
    fail "control fields: $(dpkg-deb -f "$deb")"
  dpkg-deb -x "$deb" "$scratch/unpacked"
  unpacked=$(files_below "$scratch/unpacked")
  [ "$unpacked" = "usr/bin/vantrel usr/share/doc/vantrel/README.md usr/share/doc/vantrel/changelog.gz usr/share/doc/vantrel/copyright usr/share/man/man1/vantrel.1.gz " ] ||
    fail "the .deb holds: $unpacked"
  [[ $(zcat "$scratch/unpacked/usr/share/doc/vantrel/changelog.gz") == "vantrel ($version) "* ]] ||
    fail "doc/changelog has no entry for $version at its top"
  zcat "$scratch/unpacked/usr/share/man/man1/vantrel.1.gz" | grep -qx ".I /usr/share/doc/vantrel/README.md" ||
    fail "the manual page of the .deb does not name its README"
  if command -v lintian >/dev/null; then
    lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1 || fail "lintian: $(cat "$scratch/lintian.log")"
  else
    echo "lintian is not installed: the .deb was not linted"
  fi
  run_sample "$scratch/unpacked/usr/bin/vantrel" "$make_package"

  # A root of its own with an empty package database: dpkg installs there
  # and nowhere else. The libraries the tool depends on are the host's, not
  # the scratch root's, hence --force-depends; --force-not-root lets a run
  # that is not root install files it then owns.
  dpkg --root="$scratch/root" --force-depends --force-not-root -i "$deb" >"$scratch/dpkg.log" 2>&1 ||
    fail "dpkg -i: $(cat "$scratch/dpkg.log")"
  [ "$(dpkg-query --root="$scratch/root" -W -f='${Status}' vantrel)" = "install ok installed" ] ||
    fail "dpkg does not list vantrel as installed in the scratch root"
  run_sample "$scratch/root/usr/bin/vantrel" "$make_package"
  ;;
*)
  fail "unknown mode $mode"
  ;;
esac
echo "$mode: passed"
