#!/usr/bin/env bash
# Builds the Debian package from an already built tree into a temporary folder
# and checks what a user gets from it: the control fields, the file list, the
# menu entry, the man pages and the packaged programs themselves. It installs
# nothing on this machine and leaves the build tree's own files alone.
#
# usage: check_package.sh CPACK BUILD_DIR VERSION
# Exit status: 0 all checks passed, 1 a check failed, 77 a tool the checks
# need is missing (and nothing failed).
set -uo pipefail

if [ "$#" -ne 3 ]; then
  echo "usage: $0 CPACK BUILD_DIR VERSION" >&2
  exit 2
fi
cpack=$1
build_dir=$2
version=$3
name=tessik-update-tool

failures=0
skipped=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }
skip() { echo "SKIP: $*" >&2; skipped=$((skipped + 1)); }
have() { local path; path=$(command -v "$1") && [ -x "$path" ]; }

# Without these the package cannot be built or read at all. dpkg-shlibdeps and
# file matter because CPack, missing them, quietly builds a package without
# its library dependencies.
for tool in dpkg-deb dpkg-shlibdeps file readelf; do
  if ! have "$tool"; then
    echo "SKIP: $tool is missing (Debian packages dpkg-dev, file, binutils); the package cannot be checked" >&2
    exit 77
  fi
done

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

# --- build ------------------------------------------------------------------
if ! (cd "$tmp" && "$cpack" -G DEB --config "$build_dir/CPackConfig.cmake" -B "$tmp/out") >"$tmp/cpack.log" 2>&1; then
  cat "$tmp/cpack.log" >&2
  echo "FAIL: cpack could not build the package" >&2
  exit 1
fi
if grep -q "dpkg-shlibdeps is not found" "$tmp/cpack.log"; then
  fail "cpack did not run dpkg-shlibdeps"
fi

arch=$(dpkg --print-architecture)
debs=("$tmp"/out/*.deb)
deb=$tmp/out/${name}_${version}_${arch}.deb
if [ "${#debs[@]}" -ne 1 ] || [ ! -f "$deb" ]; then
  echo "FAIL: expected exactly ${deb##*/}, cpack made: ${debs[*]##*/}" >&2
  exit 1
fi

# --- control fields -----------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = "$name" ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', the project's is $version"
[ "$(field Architecture)" = "$arch" ] || fail "Architecture is '$(field Architecture)'"
[ "$(field Section)" = electronics ] || fail "Section is '$(field Section)'"
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
for library in libqt5core5a libqt5gui5 libqt5widgets5 libqt5serialport5 libqt5sql5 libqt5sql5-sqlite libc6; do
  # A whole package name: libqt5core5a must not be found inside libqt5core5a-dbg.
  if ! grep -Eq "(^|, )$library( |,|$)" <<<"$depends"; then
    fail "Depends lacks $library: $depends"
  fi
done

grep -q "fonts-noto-cjk" <<<"$(field Recommends)" || fail "Recommends lacks a CJK font: $(field Recommends)"

# --- file list ----------------------------------------------------------------
dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { print $6 }' | sed 's|^\./||' | sort >"$tmp/files"
required=(
  usr/bin/$name
  usr/bin/tessik-module-sim
  usr/share/applications/$name.desktop
  usr/share/icons/hicolor/scalable/apps/$name.svg
  usr/share/man/man1/$name.1.gz
  usr/share/man/man1/tessik-module-sim.1.gz
  usr/share/doc/$name/copyright
  usr/share/doc/$name/changelog.gz
  usr/share/doc/$name/examples/60-tessik-serial.rules
)
for path in "${required[@]}"; do
  grep -qxF "$path" "$tmp/files" || fail "the package lacks /$path"
done
# Only the programs and their data: no test program, library or build file.
while read -r path; do
  case $path in
    usr/bin/$name | usr/bin/tessik-module-sim) ;;
    usr/share/applications/*.desktop | usr/share/icons/hicolor/*/apps/$name.* \
      | usr/share/man/man[1-8]/*.gz | usr/share/doc/$name/*) ;;
    *) fail "unexpected file in the package: /$path" ;;
  esac
done <"$tmp/files"
if grep -Eq '(^|/)(test_[^/]*|close_during_scan|[^/]*\.a|[^/]*\.so(\.[0-9]+)*|CMakeCache\.txt)$' "$tmp/files"; then
  fail "build or test files in the package: $(grep -E '(test_|close_during_scan|\.a$|\.so|CMakeCache)' "$tmp/files" | tr '\n' ' ')"
fi

# --- the unpacked tree ----------------------------------------------------------
root=$tmp/root
dpkg-deb -x "$deb" "$root"
tool=$root/usr/bin/$name
sim=$root/usr/bin/tessik-module-sim

for program in "$tool" "$sim"; do
  [ -x "$program" ] || { fail "${program#"$root"} is not executable"; continue; }
  # A run path left from the build tree would load libraries from wherever
  # the package was built.
  if readelf -d "$program" | grep -Eq '\((RPATH|RUNPATH)\)'; then
    fail "${program#"$root"} carries a run path: $(readelf -d "$program" | grep -E 'RPATH|RUNPATH')"
  fi
  if readelf -S "$program" | grep -q '\.debug_info'; then
    fail "${program#"$root"} is not stripped"
  fi
done

export QT_QPA_PLATFORM=offscreen
if [ -x "$tool" ]; then
  output=$(timeout 60 "$tool" --version 2>&1)
  status=$?
  if [ "$status" -ne 0 ] || ! grep -q "$name" <<<"$output" || ! grep -qF "$version" <<<"$output"; then
    fail "'$name --version' exited $status and printed: $output"
  fi
fi

# Every option a program's --help names has an entry of its own in the man
# page (a tagged paragraph: .TP, then the option), and the page renders
# without warnings and carries the project version.
check_man_page() { # PROGRAM PAGE
  local program=$1 page=$2 help status text entries option
  [ -x "$program" ] && [ -f "$page" ] || return 0
  help=$(timeout 60 "$program" --help 2>&1)
  status=$?
  [ "$status" -eq 0 ] || fail "'${program##*/} --help' exited $status"
  text=$(gzip -dc "$page" | sed 's/\\-/-/g')
  # ".BR -f ", " --file": an option with a short name too
  entries=$(awk 'tagged && match($0, /^\.B[IR]? (-[a-z] ", " )?--[a-z][a-z-]*/) {
                   option = substr($0, RSTART, RLENGTH); sub(/^\.B[IR]? (-[a-z] ", " )?/, "", option); print option }
                 { tagged = ($0 == ".TP") }' <<<"$text")
  for option in $(grep -Eo -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
    grep -qxF -- "$option" <<<"$entries" || fail "${page##*/} has no entry for $option"
  done
  grep -qF "@PROJECT_VERSION@" <<<"$text" && fail "${page##*/} still holds the version placeholder"
  grep -Eq "^\.TH .*\"$name $version\"" <<<"$text" || fail "${page##*/} is not marked $name $version"
  if have groff; then
    warnings=$(gzip -dc "$page" | groff -man -Tutf8 -ww -z 2>&1)
    [ -z "$warnings" ] || fail "${page##*/} renders with warnings: $warnings"
  else
    skip "groff is missing (Debian package groff-base): ${page##*/} not rendered"
  fi
}
check_man_page "$tool" "$root/usr/share/man/man1/$name.1.gz"
check_man_page "$sim" "$root/usr/share/man/man1/tessik-module-sim.1.gz"

# A release without its changelog entry: the newest entry names another version.
changelog=$root/usr/share/doc/$name/changelog.gz
if [ -f "$changelog" ]; then
  gzip -dc "$changelog" >"$tmp/changelog"
  logged=$(dpkg-parsechangelog -l "$tmp/changelog" -S Version 2>&1) \
    || fail "the changelog does not parse: $logged"
  [ "$logged" = "$version" ] || fail "the newest changelog entry is for '$logged', the project is $version"
fi

# --- menu entry and icon ----------------------------------------------------------
desktop=$root/usr/share/applications/$name.desktop
if [ -f "$desktop" ]; then
  if have desktop-file-validate; then
    # Hints count too: one says the entry would land in no menu section.
    if ! report=$(desktop-file-validate "$desktop" 2>&1) || [ -n "$report" ]; then
      fail "desktop-file-validate: $report"
    fi
  else
    skip "desktop-file-validate is missing (Debian package desktop-file-utils): menu entry not validated"
  fi
  # Every Exec names a program of the package, the Icon one of its icons.
  while IFS= read -r exec_line; do
    program=${exec_line#Exec=}
    program=${program%% *}
    [ -x "$root/usr/bin/$program" ] || fail "menu entry runs '$program', which the package does not hold"
  done < <(grep '^Exec=' "$desktop")
  grep -qx "Exec=$name --parallel" "$desktop" || fail "menu entry has no action running '$name --parallel'"
  icon=$(sed -n 's/^Icon=//p' "$desktop")
  compgen -G "$root/usr/share/icons/hicolor/*/apps/$icon.*" >/dev/null \
    || fail "menu entry's icon '$icon' is not in the package"
fi

svg=$root/usr/share/icons/hicolor/scalable/apps/$name.svg
if [ -f "$svg" ]; then
  if have xmllint; then
    xmllint --noout "$svg" 2>"$tmp/xmllint" || fail "the icon is not well-formed XML: $(cat "$tmp/xmllint")"
  else
    skip "xmllint is missing (Debian package libxml2-utils): icon not checked"
  fi
  grep -q '<svg[^>]*viewBox=' "$svg" || fail "the icon has no viewBox, so it cannot scale"
fi

# --- udev example: each rule is a comma-separated list of KEY op "value" ----------
rules=$root/usr/share/doc/$name/examples/60-tessik-serial.rules
if [ -f "$rules" ]; then
  item='[A-Z_]+(\{[^}]*\})?(==|!=|=|\+=|-=|:=)"[^"]*"'
  while IFS= read -r line; do
    grep -Eqx "$item(, *$item)*" <<<"$line" || fail "udev rule line does not parse: $line"
  done < <(grep -Ev '^[[:space:]]*(#|$)' "$rules")
  grep -q 'ENV{ID_MM_DEVICE_IGNORE}="1"' "$rules" || fail "udev rule does not keep ModemManager away"
fi

if [ "$failures" -gt 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
if [ "$skipped" -gt 0 ]; then
  echo "every check that could run passed; $skipped skipped for missing tools" >&2
  exit 77
fi
echo "package ${deb##*/} checked"
