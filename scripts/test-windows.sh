#!/usr/bin/env bash
# Builds Vardex for Windows (i686 and x86-64) and checks it:
#  - the i686 Vardex32.dll and KORVAL32.KVL export exactly their names,
#    undecorated, and need only system DLLs (objdump; this wine runs 64-bit
#    programs only, so the i686 build is built and inspected, not run);
#  - the x86-64 test programs pass under wine64 (the self-extractor tests
#    run the self-extracting programs they make; the console tests run on a
#    pseudo-terminal, where wine gives a console that carries Ctrl-C);
#  - a small C host loads the x86-64 DLL by name (LoadLibraryA and
#    GetProcAddress) and lists, adds and extracts through it under wine64.
# Usage: scripts/test-windows.sh [OUTDIR]   (default: build-windows)
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
out="${1:-$here/build-windows}"
mkdir -p "$out"
out="$(cd "$out" && pwd)"
jobs="${JOBS:-2}"

[ "${VARDEX_WINDOWS_DEPS_DONE:-0}" = 1 ] || bash "$here/scripts/deps.sh" --windows

# GoogleTest from Debian's sources, cross-built once.
gtest="$out/gtest-x86_64"
if [ ! -f "$gtest/lib/cmake/GTest/GTestConfig.cmake" ]; then
  cmake -S /usr/src/googletest -B "$out/build-gtest" -DCMAKE_TOOLCHAIN_FILE="$here/cmake/mingw-x86_64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DBUILD_GMOCK=OFF -DCMAKE_INSTALL_PREFIX="$gtest" >/dev/null
  cmake --build "$out/build-gtest" -j"$jobs" --target install >/dev/null
fi

VARDEX_WIN_TESTS=ON GTEST_ROOT="$gtest" JOBS="$jobs" bash "$here/scripts/build-windows.sh" "$out"

fail=0
check() { if "$@"; then :; else echo "FAILED: $*" >&2; fail=1; fi; }

# --- exports of the i686 build ---------------------------------------------
exports_of() {
  x86_64-w64-mingw32-objdump -p "$1" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
    sed -n 's/^[[:space:]]*\[ *[0-9]*\] //p' | sort
}
expected_exports() { sed -n 's/^    \([A-Za-z0-9_]*\)\(@[0-9]*\)\{0,1\}$/\1/p' "$1" | sort; }
same_exports() {
  local dll="$1" def="$2"
  if diff <(exports_of "$dll") <(expected_exports "$def") >/dev/null; then
    echo "ok: $(basename "$dll") exports $(exports_of "$dll" | wc -l) undecorated names"
  else
    echo "export table of $dll differs from $def:" >&2
    diff <(exports_of "$dll") <(expected_exports "$def") >&2 || true
    return 1
  fi
}
only_system_dlls() {
  local bad
  # (objdump for x86-64 reads both PE formats; vardex.exe is a host of Vardex32.dll.)
  bad="$(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^[[:space:]]*DLL Name: //p' |
    grep -viE '^(kernel32|user32|advapi32|msvcrt|ucrtbase|api-ms-win-crt-[a-z0-9-]*|vardex32)\.dll$' || true)"
  if [ -n "$bad" ]; then echo "$1 needs non-system DLLs: $bad" >&2; return 1; fi
  echo "ok: $(basename "$1") needs only system DLLs"
}
check same_exports "$out/i686/Vardex32.dll" "$here/src/platform/Vardex32.def"
check same_exports "$out/i686/KORVAL32.KVL" "$here/stub/KORVAL32.def"
for f in Vardex32.dll KORVAL32.KVL vardex.exe; do
  check only_system_dlls "$out/i686/$f"
  check only_system_dlls "$out/x86_64/$f"
done
# stdcall on i686: InitZipFile pops its one argument (ret 4).
if i686-w64-mingw32-objdump -d "$out/build-i686/Vardex32.dll" |
   sed -n '/<_\?InitZipFile@4>:/,/^$/p' | grep -qE 'ret +\$0x4'; then
  echo "ok: i686 InitZipFile is stdcall"
else
  echo "FAILED: i686 InitZipFile does not return with ret 4" >&2; fail=1
fi

# --- x86-64 under wine64 -----------------------------------------------------
export WINEPREFIX="$out/wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
# A zone with summer time, so the time tests see both offsets.
export DISPLAY= TZ=Europe/Berlin LANG=C.UTF-8
mkdir -p "$WINEPREFIX"
wine=(timeout 600 wine)
"${wine[@]}" cmd /c exit >/dev/null 2>&1 || true   # first start creates the prefix

tests_dir="$out/build-x86_64/tests"
# Runs one test program under wine64 (through a launcher, when given, such as
# the pseudo-terminal runner); its log goes to $out/NAME.log.
run_test() {
  local name="$1" exe="$2"; shift 2
  local log="$out/$name.log"
  if [ ! -f "$exe" ]; then echo "FAILED: missing $exe" >&2; fail=1; return; fi
  if (cd "$tests_dir" && "$@" "$exe" --gtest_brief=1 >"$log" 2>&1); then
    echo "ok: $name under wine64 ($(grep -caE '\[  (SKIPPED|PASSED) ' "$log" || true) summary lines)"
  else
    echo "FAILED: $name under wine64; last lines of $log:" >&2
    tail -n 30 "$log" >&2
    fail=1
  fi
}
for t in windows platform settings masks paths archive extract inflate legacy deflate crypt update delete sfx; do
  run_test "${t}_test" "$tests_dir/${t}_test.exe" "${wine[@]}"
done
# On a pseudo-terminal wine gives the program a console, through which the
# tests send Ctrl-C to vardex.exe.
pty_wine() { PTY_RUN_SILENCE=300 timeout 600 python3 "$here/tests/support/pty_run.py" "wine '$1' --gtest_brief=1"; }
run_test console_test "$tests_dir/console_test.exe" pty_wine
# Texts are cut by whole characters of a double-byte ANSI code page too.
if (cd "$tests_dir" && LANG=ja_JP.UTF-8 "${wine[@]}" ./platform_test.exe \
      --gtest_filter='CodePages.*ByWholeCharactersOfTheWorkingForm' >"$out/platform_932.log" 2>&1) &&
   grep -q 'PASSED.*2 tests' "$out/platform_932.log" && ! grep -q 'SKIPPED' "$out/platform_932.log"; then
  echo "ok: texts are cut and names counted by whole characters of code page 932"
else
  echo "FAILED: cutting texts in code page 932; see $out/platform_932.log" >&2; fail=1
fi

# --- a C host loading the DLL by name ---------------------------------------
host="$out/host"
mkdir -p "$host"
cp "$out/x86_64/Vardex32.dll" "$out/x86_64/KORVAL32.KVL" "$host/"
x86_64-w64-mingw32-gcc-posix -std=c11 -Wall -Wextra -Werror -O2 -I"$here/include" \
  -o "$host/vxhost.exe" "$here/tests/windows/host.c"
rm -rf "$host/in" "$host/out" "$host/host.zip"
if (cd "$host" && "${wine[@]}" ./vxhost.exe > "$host/host.log" 2>&1); then
  echo "ok: C host lists, adds and extracts through Vardex32.dll"
else
  echo "FAILED: C host; its output:" >&2; cat "$host/host.log" >&2; fail=1
fi

# The same host compiled for i686, to see the header serve a 32-bit host.
i686-w64-mingw32-gcc-posix -std=c11 -Wall -Wextra -Werror -O2 -I"$here/include" \
  -o "$host/vxhost32.exe" "$here/tests/windows/host.c" && echo "ok: C host builds for i686" ||
  { echo "FAILED: C host for i686" >&2; fail=1; }

# The command line: the archive the host made, and the exit code of a failure.
cp "$out/x86_64/vardex.exe" "$host/"
if (cd "$host" && "${wine[@]}" ./vardex.exe list host.zip | grep -q "in/beta.txt"); then
  echo "ok: vardex.exe lists the archive"
else
  echo "FAILED: vardex.exe list" >&2; fail=1
fi
if (cd "$host" && "${wine[@]}" ./vardex.exe list missing.zip >/dev/null 2>&1); then
  echo "FAILED: vardex.exe list of a missing archive exits 0" >&2; fail=1
fi

wineserver -k 2>/dev/null || true
exit $fail
