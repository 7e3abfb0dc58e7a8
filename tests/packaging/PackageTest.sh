# The Debian package as `make package` makes it: the installed tree under /usr, a dependency on
# the package of every library the program links, its maintainer scripts, a program that still
# runs after stripping, an install that apt can carry out, and nothing lintian calls an error.
. "$(dirname "$0")/Checks.sh"
need cpack dpkg-deb dpkg lintian objdump apt-get

cpack --config "$BUILD/CPackConfig.cmake" -B "$scratch/out" >"$scratch/cpack.log" 2>&1 ||
  { cat "$scratch/cpack.log" >&2; fail "cpack failed"; finish; }
version=$("$BUILD/app/ordwin" --version)
deb=$scratch/out/ordwin_${version#Ordwin }_$(dpkg --print-architecture).deb
[ -f "$deb" ] || { fail "no $deb"; finish; }

actual=$(dpkg-deb -c "$deb" | awk '$1 ~ /^-/ { print $6 }' | sed 's|^\./usr/||' | LC_ALL=C sort)
[ "$actual" = "$(LC_ALL=C sort <<<"$installed_files")" ] ||
  fail "package files differ: $(diff <(LC_ALL=C sort <<<"$installed_files") <(echo "$actual") || true)"
owners=$(dpkg-deb -c "$deb" | awk '{ print $2 }' | sort -u)
[ "$owners" = root/root ] || fail "files owned by $owners"

[ "$(dpkg-deb -f "$deb" Package)" = ordwin ] || fail "package name"
[ "Ordwin $(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version is not $version"
depends=$(dpkg-deb -f "$deb" Depends)
depended=$(sed 's/ *([^)]*)//g; s/, */\n/g' <<<"$depends")
# Each library the program asks for by name belongs to a package that the package depends on.
for library in $(objdump -p "$BUILD/app/ordwin" | awk '/NEEDED/ { print $2 }'); do
  path=$(ldconfig -p | awk -v l="$library" '$1 == l && !found { print $NF; found = 1 }')
  owner=$( (dpkg -S "$path" || dpkg -S "$(readlink -f "$path")") 2>/dev/null | awk -F: 'NR == 1 { print $1 }')
  grep -qxF "$owner" <<<"$depended" || fail "$library (${owner:-no package}) is not in Depends: $depends"
done
grep -qxF netbase <<<"$depended" || fail "netbase is not in Depends: $depends"

control=$(dpkg-deb -I "$deb")
for script in postinst prerm postrm; do
  grep -Eq "^ +[0-9]+ bytes, +[0-9]+ lines +\* +$script " <<<"$control" || fail "no executable $script"
done

dpkg-deb -x "$deb" "$scratch/root"
[ "$("$scratch/root/usr/bin/ordwin" --version)" = "$version" ] || fail "the packaged program does not run"
grep -qx 'ExecStart=/usr/bin/ordwin --headless' "$scratch/root/usr/lib/systemd/system/ordwin.service" ||
  fail "the packaged unit does not start /usr/bin/ordwin"

# apt would install it on this machine, its dependencies and all (a simulation: nothing changes).
simulation=$(apt-get install --simulate "$deb" 2>&1) || fail "apt-get install --simulate: $simulation"
grep -q '^Inst ordwin ' <<<"$simulation" || fail "apt would not install it: $simulation"

lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1 || fail "lintian: $(grep -v 'root privileges' "$scratch/lintian.log")"
! grep -q '^E: ' "$scratch/lintian.log" || fail "lintian: $(grep '^E: ' "$scratch/lintian.log")"

finish
