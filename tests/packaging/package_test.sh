#!/usr/bin/env bash
# package_test.sh lintian|launcher BUILD-DIR
set -euo pipefail
part=$1 build=$2
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in cpack dpkg-deb perl; do command -v $tool >/dev/null || fail "$tool is missing (apt-get install dpkg-dev cmake)"; done
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

cpack -G DEB -B "$work/out" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1 || { cat "$work/cpack.log"; fail "cpack failed"; }
deb=$(ls "$work"/out/quoteboard_*.deb)

if [ "$part" = lintian ]; then
  command -v lintian >/dev/null || fail "lintian is missing: apt-get install lintian"
  lintian --fail-on error,warning "$deb" || fail "lintian reports errors or warnings (above)"
  # A manual page for every program it installs, and no service that starts by itself.
  dpkg-deb -c "$deb" >"$work/files"
  for p in quoteboard quote-server quotewatch quoteboard-start; do
    grep -q "usr/bin/$p\$" "$work/files" || fail "no $p in the package"
    grep -q "usr/share/man/man1/$p.1.gz\$" "$work/files" || fail "no manual page for $p"
  done
  dpkg-deb -e "$deb" "$work/control"
  for script in preinst postinst prerm postrm; do
    [ ! -e "$work/control/$script" ] || fail "$script would enable or start a service"
  done
  grep -q '^/etc/default/quote-server$' "$work/control/conffiles" || fail "/etc/default/quote-server is no conffile"
  dpkg-deb -x "$deb" "$work/root"
  grep -q '^ExecStart=/usr/bin/quote-server --data /usr/share/quoteboard/MARKET.TXT \$QUOTE_SERVER_OPTS$' \
    "$work/root/usr/lib/systemd/system/quote-server.service" || fail "the server's unit does not name the installed program"
  exit 0
fi

# launcher: the unpacked tree, with a stand-in board that prints QUOTE_SERVER and what
# GET /status of that server answers.
dpkg-deb -x "$deb" "$work/root"
bin=$work/root/usr/bin
cat >"$bin/quoteboard" <<'BOARD'
#!/bin/bash
echo "board QUOTE_SERVER=$QUOTE_SERVER TZ=${TZ:-} cwd=$PWD"
exec 3<>"/dev/tcp/${QUOTE_SERVER%:*}/${QUOTE_SERVER#*:}" && printf 'GET /status HTTP/1.0\r\n\r\n' >&3 && tail -1 <&3
BOARD
chmod +x "$bin/quoteboard"
export HOME=$work/home XDG_CONFIG_HOME=$work/home/.config XDG_DATA_HOME=$work/home/.local/share
unset QUOTE_SERVER
start=$bin/quoteboard-start

# Command-line faces.
"$start" --help | grep -q 'autostart' || fail "--help does not describe the launcher"
[ "$("$start" --version)" = "quoteboard-start 1.0.0" ] || fail "--version"
set +e; "$start" --bogus 2>"$work/err"; rc=$?; set -e
[ $rc = 2 ] && grep -q '^usage: quoteboard-start' "$work/err" || fail "--bogus: status $rc, $(cat "$work/err")"
set +e; "$start" a b 2>/dev/null; rc=$?; set -e
[ $rc = 2 ] || fail "two directories: status $rc"

# Start at login: the entry runs this launcher; off removes it.
"$start" --autostart on >/dev/null
grep -qx "Exec=$start" "$XDG_CONFIG_HOME/autostart/quoteboard.desktop" || fail "autostart entry"
"$start" --autostart off >/dev/null
[ ! -e "$XDG_CONFIG_HOME/autostart/quoteboard.desktop" ] || fail "autostart off left the entry"

# A free port for the local server, and a listener on another that answers like a plain web server.
listen() {  # listen PORTFILE REPLY: accepts forever, answers each request with REPLY
  perl -MIO::Socket::INET -e '
    my $s = IO::Socket::INET->new(LocalAddr => "127.0.0.1", LocalPort => 0, Listen => 5, ReuseAddr => 1) or die;
    open(my $f, ">", $ARGV[0]) or die; print $f $s->sockport, "\n"; close $f;
    while (my $c = $s->accept) { while (my $l = <$c>) { last if $l =~ /^\r?\n$/ } print $c $ARGV[1]; close $c }' "$1" "$2" &
  pids+=($!)
  for _ in $(seq 100); do [ -s "$1" ] && break; sleep 0.05; done
}
listen "$work/web.port" $'HTTP/1.0 404 Not Found\r\nServer: SimpleHTTP\r\n\r\nnot here'
web=$(cat "$work/web.port")

# Something other than a quote server holds the port: it is named, and a server of our own on a
# free port is what the board gets.
out=$(QUOTEBOARD_PORT=$web "$start" 2>"$work/err")
grep -q "127.0.0.1:$web is held by a program that is not a quote server (it answered \"HTTP/1.0 404 Not Found\")" "$work/err" ||
  fail "the holder of the port is not named: $(cat "$work/err")"
grep -q '"source":"simulator"' <<<"$out" || fail "the board was not given a quote server: $out"
grep -q "cwd=$XDG_DATA_HOME/quoteboard" <<<"$out" || fail "not in its working directory: $out"
[ -e "$XDG_DATA_HOME/quoteboard/STOCKLIST.TXT" ] || fail "the working directory was not seeded"
own=$(sed -n 's/^board QUOTE_SERVER=127.0.0.1:\([0-9]*\).*/\1/p' <<<"$out")
[ "$own" != "$web" ] || fail "the board was pointed at the plain web server"

# A quote server already on the port is used as it is (none is started), and the environment file
# is read.
"$bin/quote-server" --port 0 --data "$work/root/usr/share/quoteboard/MARKET.TXT" >"$work/qs.out" &
pids+=($!)
for _ in $(seq 100); do grep -q listening "$work/qs.out" && break; sleep 0.05; done
qs=$(sed -n 's/.*:\([0-9]*\) .*/\1/p' "$work/qs.out")
mkdir -p "$XDG_CONFIG_HOME/quoteboard"
printf 'TZ=Asia/Taipei\nQUOTEBOARD_PORT=%s\n# a comment\n$(touch %s/ran)\n' "$qs" "$work" >"$XDG_CONFIG_HOME/quoteboard/environment"
out=$("$start" "$work/elsewhere" 2>"$work/err")
grep -q "^board QUOTE_SERVER=127.0.0.1:$qs TZ=Asia/Taipei cwd=$work/elsewhere\$" <<<"$out" || fail "existing server not used: $out $(cat "$work/err")"
[ ! -s "$work/err" ] || fail "unexpected messages: $(cat "$work/err")"
[ ! -e "$work/ran" ] || fail "the environment file was run as shell code"
echo ok
