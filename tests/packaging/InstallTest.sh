# `cmake --install` into a fresh prefix: every file where it belongs, and each one valid for the
# tool that reads it (desktop entry, icons, unit, manual page).
. "$(dirname "$0")/Checks.sh"
need desktop-file-validate systemd-analyze man od

prefix=$scratch/prefix
install_into "$prefix"
actual=$(files_under "$prefix")
[ "$actual" = "$(LC_ALL=C sort <<<"$installed_files")" ] ||
  fail "installed files differ: $(diff <(LC_ALL=C sort <<<"$installed_files") <(echo "$actual") || true)"

program=$prefix/bin/ordwin
[ -x "$program" ] || fail "the program is not executable"
version=$("$program" --version) || fail "--version failed"

# The desktop entry is valid and starts the installed program with the installed icon.
entry=$prefix/share/applications/ordwin.desktop
out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate: $out"
[ -z "$out" ] || fail "desktop-file-validate: $out"
grep -qx 'Exec=ordwin' "$entry" || fail "the entry does not start ordwin"
grep -qx 'Icon=ordwin' "$entry" || fail "the entry does not name the ordwin icon"

# Each PNG is as large as its folder says: width and height are bytes 16 to 23 of the file.
for png in "$prefix"/share/icons/hicolor/*x*/apps/ordwin.png; do
  folder=${png%/apps/ordwin.png}
  size=${folder##*/}
  size=${size%x*}
  [ "$(od -An -tx1 -N8 "$png" | tr -d ' \n')" = 89504e470d0a1a0a ] || fail "$png is not a PNG"
  [ "$(od -An -tx1 -j16 -N8 "$png" | tr -d ' \n')" = "$(printf '%08x%08x' "$size" "$size")" ] ||
    fail "$png is not ${size}x$size"
done

# The unit starts the installed program headless, and systemd finds nothing wrong in it (its
# Documentation= page included, looked up in this prefix).
unit=$prefix/lib/systemd/system/ordwin.service
grep -qx "ExecStart=$program --headless" "$unit" || fail "the unit does not start $program --headless"
out=$(MANPATH=$prefix/share/man systemd-analyze verify "$unit" 2>&1) || fail "systemd-analyze verify: $out"
[ -z "$out" ] || fail "systemd-analyze verify: $out"

# The manual page renders without a warning, in a UTF-8 locale and without any (the ASCII device),
# for this version, and names every option of --help.
for locale in C.UTF-8 ""; do
  page=$(env -u LANGUAGE -u LC_MESSAGES LC_ALL="$locale" LANG="$locale" MANWIDTH=80 \
    man --warnings -l "$prefix/share/man/man1/ordwin.1.gz" 2>"$scratch/man.err") || fail "man -l failed"
  [ ! -s "$scratch/man.err" ] || fail "man -l in locale '$locale' warned: $(cat "$scratch/man.err")"
done
grep -q "^ORDWIN(1) " <<<"$page" || fail "no ORDWIN(1) heading"
grep -q "^$version  " <<<"$page" || fail "the page is not for $version"
for option in $("$program" --help | grep -o -- '--[a-z-]*' | sort -u); do
  grep -q -- "$option" <<<"$page" || fail "the page does not name $option"
done

finish
