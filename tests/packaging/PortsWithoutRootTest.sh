# Serving ports 80 and 443 without root, both ways the README and the manual page give: the service
# as its unit runs it (a user of its own, the capability as an ambient one, the settings store and
# the certificate in the state folder), and a program file granted the capability with setcap; and
# what a program file without it says. Each runs as an unprivileged user in a network namespace of
# its own.
. "$(dirname "$0")/Checks.sh"
need_root
need unshare setpriv setcap ip curl openssl
if [ -z "${ORDWIN_PRIVATE_NETWORK:-}" ]; then
  rm -rf "$scratch"
  ORDWIN_PRIVATE_NETWORK=1 exec unshare -n bash "$0" "$@"
fi
ip link set lo up

nobody=65534
prefix=$scratch/usr
install_into "$prefix"

# Starts Command as the unprivileged user, output to Name.out and Name.err; leaves its pid in $pid.
start() {
  local name=$1
  shift
  setpriv --reuid=$nobody --regid=$nobody --clear-groups "$@" >"$scratch/$name.out" 2>"$scratch/$name.err" &
  pid=$!
}

# Whether this PC answers a GG client (the 12-byte greeting: type 1, length 4, a seed) on 8074.
greets() {
  [ "$(timeout 5 bash -c 'exec 3<>/dev/tcp/127.0.0.1/8074; head -c 8 <&3' | od -An -tx1 | tr -d ' \n')" = 0100000004000000 ]
}

# Checks one running server: its answers on the three ports, then a clean stop on SIGTERM.
check_server() {
  local name=$1 address=$2
  eventually greets || fail "$name: no GG greeting on port 8074"
  [ "$(timeout 5 openssl s_client -connect 127.0.0.1:443 -quiet </dev/null 2>/dev/null | head -c 8 | od -An -tx1 |
    tr -d ' \n')" = 0100000004000000 ] || fail "$name: no GG greeting over TLS on port 443"
  answer=$(curl -s --max-time 5 http://127.0.0.1/appsvc/appmsg4.asp) || true
  [ "$answer" = "0 0 $address:8074 $address" ] || fail "$name: port 80 answered '$answer'"
  [ "$(awk '/^Uid:/ { print $2 }' "/proc/$pid/status")" = $nobody ] || fail "$name: not running as the user"
  kill -TERM "$pid"
  wait "$pid" || fail "$name: exit status $? after SIGTERM"
  [ ! -s "$scratch/$name.err" ] || fail "$name: said on standard error: $(cat "$scratch/$name.err")"
  grep -q "stacji na \"$address\"" "$scratch/$name.out" || fail "$name: the hints do not give $address"
}

# The service: the unit's own command line and environment, with %S its state folders' parent.
unit=$prefix/lib/systemd/system/ordwin.service
state_root=$scratch/var/lib
command=$(sed -n 's/^ExecStart=//p' "$unit")
read -r -a environment <<<"$(sed -n 's/^Environment=//p' "$unit" | sed "s|%S|$state_root|g")"
grep -qx 'AmbientCapabilities=CAP_NET_BIND_SERVICE' "$unit" || fail "the unit grants no low ports"
grep -qx 'StateDirectory=ordwin' "$unit" || fail "the unit has no state folder"
# The commands the manual page gives for setting the address, with the state folder moved here.
mkdir -p "$state_root/ordwin/config/Malvory"
printf '[ustawienia]\nadres=192.168.1.10\n' >"$state_root/ordwin/config/Malvory/RIDuziva.conf"
chown -R $nobody "$state_root/ordwin"
# shellcheck disable=SC2086  # the command line is split as systemd splits it
start service --inh-caps=+net_bind_service --ambient-caps=+net_bind_service env -i "${environment[@]}" $command
check_server service 192.168.1.10
[ "$(stat -c '%a %u' "$state_root/ordwin/config/Malvory/certyfikat.pem")" = "600 $nobody" ] ||
  fail "service: the certificate is not its user's alone"

# setcap on a copy of the program, run by a user with no capability of its own.
cp "$prefix/bin/ordwin" "$scratch/ordwin"
setcap cap_net_bind_service=+ep "$scratch/ordwin"
home=$scratch/home
mkdir -p "$home"
chown $nobody "$home"
start setcap env -i HOME="$home" "$scratch/ordwin" --headless
check_server setcap localhost

# Without the capability the port is refused for want of rights: the warning and the hint say so,
# each with the setcap line for this very file, and the GG server runs all the same.
cp "$prefix/bin/ordwin" "$scratch/plain"
start plain env -i HOME="$home" "$scratch/plain" --headless
eventually greets || fail "plain: no GG greeting on port 8074"
eventually grep -q Kelvadra "$scratch/plain.out" || fail "plain: no hints"
kill -TERM "$pid"
wait "$pid" || fail "plain: exit status $? after SIGTERM"
setcap_line="„setcap cap_net_bind_service=+ep $scratch/plain”"
[ "$(cat "$scratch/plain.err")" = "Ostrzeżenie: Nie udało się otworzyć portu 80 !

Brak uprawnień: port 80 może otworzyć tylko root albo program z uprawnieniem CAP_NET_BIND_SERVICE. \
Nadaj je programowi raz (jako root, ponownie po każdej aktualizacji programu): $setcap_line" ] ||
  fail "plain: warned $(cat "$scratch/plain.err")"
[ "$(sed -n 1p "$scratch/plain.out")/$(sed -n 2p "$scratch/plain.out")" = "Brak uprawnień do otwarcia portu 80: \
uruchom program jako root albo nadaj mu je poleceniem $setcap_line (jako root)/" ] ||
  fail "plain: hinted $(head -n 2 "$scratch/plain.out")"
[ "$(sed -n 3p "$scratch/plain.out")/$(sed -n 4p "$scratch/plain.out")" = "Brak uprawnień do otwarcia portu 443: \
szyfrowane połączenia GG (TLS) nie działają; uruchom program jako root albo nadaj mu je poleceniem $setcap_line \
(jako root)/" ] || fail "plain: hinted for TLS $(sed -n 3,4p "$scratch/plain.out")"
grep -q "^<nie udało się otworzyć portu 443 (Error 10013 in function Bind: Permission denied); połączenia \
szyfrowane (TLS) nie działają$" "$scratch/plain.out" || fail "plain: no log line for port 443"

finish
