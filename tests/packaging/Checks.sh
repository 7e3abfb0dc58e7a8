# What the shell tests share. Each test is run as `bash TEST BUILD_DIR SOURCE_DIR`; it exits 0 when
# every check held, 1 when one failed (each failure said on standard error), 77 when skipped.
set -Eeuo pipefail
# Tools Debian keeps in /usr/sbin (ldconfig, setcap) are called by name; a normal user's PATH lacks it.
PATH=$PATH:/usr/sbin:/sbin
trap 'echo "FAIL: line $LINENO: $BASH_COMMAND" >&2' ERR

BUILD=$(cd "$1" && pwd)
SOURCE=$(cd "$2" && pwd)
failures=0

fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
skip() {
  echo "SKIP: $*" >&2
  exit 77
}
need() {
  local tool
  for tool in "$@"; do
    command -v "$tool" >/dev/null || skip "needs $tool (scripts/install-deps.sh --tests installs it)"
  done
}
need_root() {
  [ "$(id -u)" -eq 0 ] || skip "needs root"
}
finish() {
  [ "$failures" -eq 0 ] || exit 1
  exit 0
}

scratch=$(mktemp -d /tmp/ordwin-test-XXXXXX)
chmod 755 "$scratch"
trap 'rm -rf "$scratch"' EXIT

# Installs the build into Prefix (it is the same tree the package holds under /usr).
install_into() {
  cmake --install "$BUILD" --prefix "$1" >/dev/null
}

# Every file an install puts down, under its prefix.
installed_files="bin/ordwin
lib/systemd/system/ordwin.service
share/applications/ordwin.desktop
share/doc/ordwin/changelog.gz
share/doc/ordwin/copyright
share/icons/hicolor/128x128/apps/ordwin.png
share/icons/hicolor/16x16/apps/ordwin.png
share/icons/hicolor/22x22/apps/ordwin.png
share/icons/hicolor/24x24/apps/ordwin.png
share/icons/hicolor/256x256/apps/ordwin.png
share/icons/hicolor/32x32/apps/ordwin.png
share/icons/hicolor/48x48/apps/ordwin.png
share/icons/hicolor/64x64/apps/ordwin.png
share/icons/hicolor/scalable/apps/ordwin.svg
share/man/man1/ordwin.1.gz"

# The regular files under a folder, relative to it, sorted.
files_under() {
  (cd "$1" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
}

# Waits (a bounded number of short tries) until Command succeeds.
eventually() {
  local try
  for try in $(seq 100); do
    "$@" 2>/dev/null && return 0
    sleep 0.1
  done
  return 1
}
