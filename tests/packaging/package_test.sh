#!/usr/bin/env bash
# package_test.sh lintian|launcher|maintainer|install BUILD-DIR VERSION [CONFIG]
set -euo pipefail
part=$1 build=$(cd "$2" && pwd) version=$3 config=${4:-}
source=$(cd "$(dirname "$0")/../.." && pwd)
fail() { echo "FAIL: $*" >&2; exit 1; }
for tool in cpack dpkg-deb perl; do command -v $tool >/dev/null || fail "$tool is missing (apt-get install dpkg-dev cmake)"; done
work=$(mktemp -d)
pids=()
trap 'for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done; rm -rf "$work"' EXIT

if [ "$part" = install ]; then
  # cmake --install as a user does it, into a prefix of its own.
  prefix=$work/prefix
  cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1 || { cat "$work/install.log"; fail "cmake --install failed"; }
  chmod 755 "$work"
  for p in quoteboard quote-server quotewatch; do
    exe=$prefix/bin/$p
    # Stripped, and no path of the machine that built it.
    readelf -S "$exe" | grep -q '\.symtab' && fail "$p is installed unstripped"
    ! grep -aqF -e "$source" -e "$build" "$exe" || fail "$p carries a path of the build machine: $(strings "$exe" | grep -F -e "$source" -e "$build" | head -2)"
    # Debian's hardening in the optimised builds: stack protector, fortified calls, read-only
    # relocations bound at start.
    case "$config" in Release | RelWithDebInfo | MinSizeRel) ;; *) continue ;; esac
    readelf -lW "$exe" | grep -q GNU_RELRO || fail "$p: no RELRO"
    readelf -dW "$exe" | grep -Eq 'BIND_NOW|FLAGS_1.*NOW' || fail "$p: not bound now"
    readelf --dyn-syms -W "$exe" >"$work/syms"
    grep -q '__stack_chk_fail' "$work/syms" || fail "$p: no stack protector"
    grep -Eq '__[a-z_]+_chk(@|$)' <(grep -v __stack_chk_fail "$work/syms") || fail "$p: no fortified calls"
  done
  # One version: the programs', the manual pages' and the changelog's.
  for p in quoteboard quote-server quotewatch quoteboard-start; do
    [ "$("$prefix/bin/$p" --version)" = "$p $version" ] || fail "$p --version: $("$prefix/bin/$p" --version)"
    zcat "$prefix/share/man/man1/$p.1.gz" | head -1 | grep -qF "\"quoteboard $version\"" || fail "$p(1) is not of $version"
  done
  changed=$(sed -n '1s/^quoteboard (\([^)]*\)).*/\1/p' "$source/debian/changelog")
  [ "$changed" = "$version" ] || fail "debian/changelog's last entry is $changed, the project's version $version"
  # The installed server run by an ordinary user from a folder of its own finds the installed
  # data; a data/ folder it may not enter is passed over, and a file it may not read is one line
  # and status 1.
  as_user=()
  [ "$(id -u)" != 0 ] || as_user=(setpriv --reuid=nobody --regid=nogroup --clear-groups)
  mkdir -m 755 "$work/cwd" && mkdir -m 000 "$work/cwd/data"
  (cd "$work/cwd" && exec "${as_user[@]}" "$prefix/bin/quote-server" --port 0 >"$work/qs.out" 2>"$work/qs.err") &
  pids+=($!)
  for _ in $(seq 100); do grep -q listening "$work/qs.out" && break; kill -0 "${pids[-1]}" 2>/dev/null || break; sleep 0.05; done
  grep -Eq "^quote-server listening on 127.0.0.1:[0-9]+ \([0-9]+ stocks\)$" "$work/qs.out" ||
    fail "the installed server did not start from the installed data: $(cat "$work/qs.out" "$work/qs.err")"
  cp "$prefix/share/quoteboard/MARKET.TXT" "$work/cwd/secret.txt" && chmod 000 "$work/cwd/secret.txt"
  set +e; (cd "$work/cwd" && exec "${as_user[@]}" "$prefix/bin/quote-server" --port 0 --data secret.txt) >/dev/null 2>"$work/err"; rc=$?; set -e
  [ $rc = 1 ] && [ "$(wc -l <"$work/err")" = 1 ] && grep -q '^quote-server: .*secret.txt' "$work/err" ||
    fail "an unreadable --data: status $rc, $(cat "$work/err")"
  echo ok
  exit 0
fi

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
  grep -q '^/etc/default/quote-server$' "$work/control/conffiles" || fail "/etc/default/quote-server is no conffile"
  dpkg-deb -x "$deb" "$work/root"
  grep -q '^ExecStart=/usr/bin/quote-server --data /usr/share/quoteboard/MARKET.TXT \$QUOTE_SERVER_OPTS$' \
    "$work/root/usr/lib/systemd/system/quote-server.service" || fail "the server's unit does not name the installed program"
  # The licence, and a stanza of their own for the data files taken from the exchange.
  copyright=$work/root/usr/share/doc/quoteboard/copyright
  grep -q '^License: MIT$' "$copyright" || fail "the copyright file names no MIT licence"
  grep -q '^Files: .*data/AVAILABLE.TXT' "$copyright" || fail "the exchange's data files have no stanza of their own"
  cmp -s <(sed -n '/^Permission/,$p' "$source/LICENSE") <(sed -n '/^License: MIT$/,$p' "$copyright" | sed -n '/^ Permission/,$p' | sed 's/^ //; s/^\.$//') ||
    fail "LICENSE and the copyright file's MIT text differ"
  exit 0
fi

if [ "$part" = maintainer ]; then
  # The maintainer scripts, run as dpkg runs them, with systemd's runtime folder and its helpers
  # stood in for: each call of a helper is logged.
  dpkg-deb -e "$deb" "$work/control"
  mkdir -p "$work/bin" "$work/run-systemd"
  for tool in deb-systemd-helper deb-systemd-invoke systemctl; do
    printf '#!/bin/sh\necho "%s $*" >>"%s"\ncase "$1 $2" in *debian-installed*|*was-enabled*) exit 1 ;; esac\n' \
      "$tool" "$work/calls" >"$work/bin/$tool"
    chmod +x "$work/bin/$tool"
  done
  run() {  # run SCRIPT ARGS...: the calls it makes, one a line
    : >"$work/calls"
    sed "s|/run/systemd/system|$work/run-systemd|" \
      "$work/control/$1" >"$work/script"
    PATH=$work/bin:$PATH sh "$work/script" "${@:2}" || fail "$1 $* failed"
    cat "$work/calls"
  }
  calls=$(run postinst configure)
  grep -qx 'deb-systemd-helper update-state quote-server.service' <<<"$calls" || fail "postinst: no state recorded: $calls"
  ! grep -Eq ' (enable|start|restart|try-restart) ' <<<"$calls" || fail "postinst enables or starts the server: $calls"
  grep -qx 'deb-systemd-invoke try-restart quote-server.service' <<<"$(run postinst configure 0.9)" ||
    fail "postinst: an upgrade does not restart a running server"
  grep -qx 'deb-systemd-invoke stop quote-server.service' <<<"$(run prerm remove)" || fail "prerm remove does not stop the server"
  ! grep -q 'stop' <<<"$(run prerm upgrade 9.9)" || fail "prerm stops the server for an upgrade"
  calls=$(run postrm purge)
  grep -qx 'deb-systemd-helper purge quote-server.service' <<<"$calls" || fail "postrm purge leaves the unit's links: $calls"
  rmdir "$work/run-systemd"
  [ -z "$(run prerm remove)" ] || fail "prerm calls systemd where it does not run"
  echo ok
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
help=$("$start" --help)
grep -q 'autostart' <<<"$help" || fail "--help does not describe the launcher"
[[ $help == "usage: quoteboard-start "* ]] || fail "--help does not start with its usage line: $help"
[ "$("$start" --version)" = "quoteboard-start $version" ] || fail "--version"
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
