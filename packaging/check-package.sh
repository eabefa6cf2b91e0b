#!/usr/bin/env bash
# Builds the Debian package and checks it without installing it: contents, metadata, maintainer
# scripts, the hardening of the executable, the manual page, lintian against the warnings the
# README explains, the systemd units, the server run from an unpacked root against a
# publisher and a caller on loopback, and two instances of it side by side, each from its own
# settings file.
#   check-package.sh BUILD_DIR VERSION PUBLISHER LOADCLIENT
set -uo pipefail

build_dir=$1
version=$2
publisher=$3
loadclient=$4

readme="$(dirname "$0")/../README.md"
deb="$build_dir/vandra-server_${version}-1_$(dpkg --print-architecture).deb"
scratch=$(mktemp -d /tmp/vandra_package_XXXXXX)
root="$scratch/root"
server_pid=0
publisher_pid=0
caller_pid=0
channel_pids=()
failures=0

# Ends a child that is still running: SIGTERM (which `timeout` passes on to its command),
# SIGKILL two seconds later.
end_process() { # pid
    local i
    if [ "$1" -gt 0 ] && kill -0 "$1" 2>/dev/null; then
        kill -TERM "$1" 2>/dev/null
        for ((i = 0; i < 20; i++)); do
            kill -0 "$1" 2>/dev/null || break
            sleep 0.1
        done
        kill -KILL "$1" 2>/dev/null
    fi
}

cleanup() {
    for pid in "$caller_pid" "$publisher_pid" "$server_pid" "${channel_pids[@]}"; do
        end_process "$pid"
    done
    wait 2>/dev/null
    rm -rf "$scratch"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

expect_line() { # text, regex, what
    grep -qE -- "$2" <<<"$1" || fail "$3"
}

# Polls a file for a regex, at most `seconds`.
wait_for_log() { # file, regex, seconds
    local i tries=$(($3 * 10))
    for ((i = 0; i < tries; i++)); do
        grep -qE -- "$2" "$1" 2>/dev/null && return 0
        sleep 0.1
    done
    return 1
}

# Waits at most `seconds` for a child to end, killing it then; its exit status goes to
# $reaped_status.
reap() { # pid, seconds
    local i tries=$(($2 * 10))
    for ((i = 0; i < tries; i++)); do
        kill -0 "$1" 2>/dev/null || break
        sleep 0.1
    done
    end_process "$1"
    wait "$1"
    reaped_status=$?
}

free_port() { # udp|tcp: one below the ephemeral range, which other tests' clients draw from
    python3 -c "import random,socket,sys
low = int(open('/proc/sys/net/ipv4/ip_local_port_range').read().split()[0])
for _ in range(100):
    port = random.randint(max(1024, low // 2), low - 1)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM if sys.argv[1] == 'udp' else socket.SOCK_STREAM)
    try:
        s.bind(('0.0.0.0', port))
    except OSError:
        continue
    print(port)
    break" "$1"
}

echo "--- building $deb"
rm -f "$deb"
timeout 300 cmake --build "$build_dir" --target package >"$scratch/cpack.log" 2>&1 ||
    { cat "$scratch/cpack.log"; fail "package build"; exit 1; }
[ -f "$deb" ] || { fail "no $deb"; exit 1; }

echo "--- contents"
listing=$(dpkg-deb -c "$deb")
contents=$(awk '{ path = $6; for (i = 7; i <= NF; i++) path = path " " $i; print substr($1, 1, 1) " " path }' <<<"$listing")
for entry in \
    '- ./usr/lib/vandra-server/vandra-server' \
    '- ./usr/lib/vandra-server/WEB/index.html' \
    '- ./usr/lib/vandra-server/WEB/app.js' \
    '- ./usr/lib/vandra-server/WEB/vendor/uplot/uPlot.iife.min.js' \
    'l ./usr/bin/vandra-server -> ../lib/vandra-server/vandra-server' \
    'l ./usr/lib/vandra-server/server.ini -> /etc/vandra-server/server.ini' \
    '- ./etc/vandra-server/server.ini' \
    '- ./lib/systemd/system/vandra-server.service' \
    '- ./lib/systemd/system/vandra-server@.service' \
    '- ./usr/share/doc/vandra-server/copyright' \
    '- ./usr/share/doc/vandra-server/changelog.Debian.gz' \
    '- ./usr/share/doc/vandra-server/README.md' \
    '- ./usr/share/man/man8/vandra-server.8.gz'; do
    grep -qxF -- "$entry" <<<"$contents" || fail "package lacks: $entry"
done
# Nothing but the server's own files (no test tools, no build leftovers).
stray=$(grep -vE '^d |^. \./(usr/lib/vandra-server/|usr/bin/vandra-server |etc/vandra-server/|lib/systemd/system/vandra-server@?\.service$|usr/share/doc/vandra-server/|usr/share/man/man8/vandra-server\.8\.gz$)' <<<"$contents")
[ -z "$stray" ] || fail "unexpected files: $stray"
grep -q '^-rwxr-xr-x root/root .* ./usr/lib/vandra-server/vandra-server$' <<<"$listing" ||
    fail "the executable is not root-owned 0755"

echo "--- metadata"
expect_line "$(dpkg-deb -f "$deb" Package Version Architecture)" "^Version: ${version//./\\.}-1$" "Version is not ${version}-1"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for dependency in 'adduser' 'libc6 \(>= ' 'libmicrohttpd12 \(>= ' 'libsrt[^ ,]* \(>= ' 'libstdc\+\+6 \(>= '; do
    expect_line "$depends" "(^|, )$dependency" "Depends lacks $dependency"
done
dpkg-deb -e "$deb" "$scratch/control"
expect_line "$(cat "$scratch/control/conffiles")" '^/etc/vandra-server/server\.ini$' "server.ini is no conffile"
for script in postinst prerm postrm; do
    [ -x "$scratch/control/$script" ] || fail "$script missing or not executable"
    sh -n "$scratch/control/$script" || fail "$script: syntax"
done
postinst=$(sed -e ':a' -e '/\\$/{N;s/\\\n//;ba' -e '}' "$scratch/control/postinst") # continuations joined
expect_line "$postinst" 'adduser --system .* vandra$' "postinst does not create the vandra user"
expect_line "$postinst" 'deb-systemd-helper update-state vandra-server\.service' "postinst does not register the unit"
expect_line "$(cat "$scratch/control/prerm")" 'deb-systemd-invoke stop vandra-server\.service' "prerm does not stop the service"
# Files of passphrases or web passwords named in server.ini get the mode of server.ini, but
# only plain names directly in /etc/vandra-server: the script runs as root.
expect_line "$postinst" 'chown root:vandra "\$secrets"' "postinst does not give the secret files to the vandra group"
expect_line "$postinst" 'chmod 0640 "\$secrets"' "postinst does not make the secret files 0640"
secrets_expression=$(grep -o "sed -n '[^']*' /etc/vandra-server/server.ini" <<<"$postinst" | sed "s/^sed -n '//; s/' [^ ]*$//")
picked=$(printf '%s\n' 'users = /etc/vandra-server/users' ' WebAuth=/etc/vandra-server/web.auth ' \
    '#users = /etc/vandra-server/commented' 'users = /etc/vandra-server/../shadow' \
    'users = /etc/vandra-server/.hidden' 'webauth = /etc/vandra-server/sub/file' \
    'passphrase = /etc/vandra-server/x' 'users = relative' | sed -n "$secrets_expression" | tr '\n' ' ')
[ "$picked" = "/etc/vandra-server/users /etc/vandra-server/web.auth " ] ||
    fail "postinst picks these secret files from server.ini: '$picked'"

echo "--- unpack"
mkdir -p "$root"
dpkg-deb -x "$deb" "$root"
chmod 0755 "$scratch" "$root" # the server below may run as nobody

echo "--- hardening"
# What VANDRA_HARDENING asks for, read from the ELF file (lintian checks part of it too).
executable="$root/usr/lib/vandra-server/vandra-server"
elf_segments=$(readelf --program-headers --wide "$executable")
elf_dynamic=$(readelf --dynamic --wide "$executable")
elf_symbols=$(readelf --dyn-syms --wide "$executable")
expect_line "$elf_dynamic" '\(FLAGS_1\) .*\bPIE\b' "the executable is no PIE"
expect_line "$elf_segments" '^ *GNU_RELRO ' "no read-only relocations (relro)"
expect_line "$elf_dynamic" '\(FLAGS_1\) .*\bNOW\b|\(BIND_NOW\)' "symbols are not bound at start (now)"
expect_line "$elf_symbols" ' __stack_chk_fail(@|$)' "no stack protector"
expect_line "$elf_symbols" ' __[a-z_]+_chk(@|$)' "no fortified libc calls"

echo "--- manual page"
manpage="$root/usr/share/man/man8/vandra-server.8.gz"
[ "$(file --brief --mime-type "$manpage")" = application/gzip ] || fail "the manual page is not gzipped"
# The text column stays wide enough for the settings table not to wrap into the next column.
rendered=$(MANWIDTH=100 LC_ALL=C man --warnings -l "$manpage" 2>"$scratch/man.warnings")
[ -s "$scratch/man.warnings" ] && fail "man reports: $(cat "$scratch/man.warnings")"
expect_line "$rendered" '^NAME$' "the manual page has no NAME section"
expect_line "$rendered" '^ +vandra-server - multicast MPEG-TS to SRT fan-out server$' "NAME is not the package summary"
expect_line "$rendered" '^ +vandra-server \[KEY=VALUE \.\.\.\]$' "SYNOPSIS lacks the settings form"
expect_line "$rendered" '^ +passphrase$' "the settings are not in the manual page"
expect_line "$rendered" '^EXIT STATUS$' "the manual page has no EXIT STATUS"
expect_line "$rendered" "^ *vandra-server ${version//./\\.} " "the manual page does not carry version $version"

echo "--- lintian"
# Every error or warning must be one that the README lists, with its reason, between the
# markers below; and every one listed must still occur, so the list stays true.
lintian_output=$(timeout 120 lintian --fail-on none "$deb" 2>&1)
lintian_status=$?
echo "$lintian_output"
[ "$lintian_status" -eq 0 ] || fail "lintian did not run (status $lintian_status)"
found=$(sed -n 's/^\([EW]\): vandra-server[^:]*: /\1: /p' <<<"$lintian_output" | sort -u)
expected=$(sed -n '/<!-- lintian-expected-begin -->/,/<!-- lintian-expected-end -->/p' "$readme" |
    sed -n 's/^- `\([EW]: [^`]*\)`.*/\1/p' | sort -u)
grep -q '<!-- lintian-expected-end -->' "$readme" || fail "no lintian list in $readme"
[ "$found" = "$expected" ] || fail "lintian differs from the README's list:
$(diff <(echo "$expected") <(echo "$found") | grep '^[<>]')"

echo "--- systemd unit"
# verify also checks that ExecStart exists: point it at the unpacked executable.
mkdir -p "$scratch/unit"
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$root/lib/systemd/system/vandra-server.service" \
    >"$scratch/unit/vandra-server.service"
# It looks up the unit's Documentation= manual page with man: here, in the unpacked root.
verify_output=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$scratch/unit/vandra-server.service" 2>&1)
verify_status=$?
# It reports settings it ignores on stderr yet exits 0: any output is a fault.
[ "$verify_status" -eq 0 ] && [ -z "$verify_output" ] || fail "systemd-analyze verify: $verify_output"
exposure=$(systemd-analyze security --offline=yes "$scratch/unit/vandra-server.service" 2>&1 |
    sed -n 's/.*Overall exposure level for vandra-server.service: \([0-9.]*\).*/\1/p')
echo "systemd-analyze security exposure: ${exposure:-none}"
awk -v e="${exposure:-99}" 'BEGIN { exit !(e <= 2.0) }' || fail "sandboxing exposure ${exposure:-unknown} above 2.0"

# The per-channel template: verified as an instance, and sandboxed line for line as the plain
# unit (only what names the instance may differ).
sed "s|^ExecStart=/usr/bin/|ExecStart=$root/usr/bin/|" "$root/lib/systemd/system/vandra-server@.service" \
    >"$scratch/unit/vandra-server@check.service"
verify_output=$(MANPATH="$root/usr/share/man" systemd-analyze verify "$scratch/unit/vandra-server@check.service" 2>&1)
[ $? -eq 0 ] && [ -z "$verify_output" ] || fail "systemd-analyze verify of the template: $verify_output"
by_design='^(#|Description=|ExecStart=|StateDirectory=|WorkingDirectory=)'
drift=$(diff <(grep -vE "$by_design" "$root/lib/systemd/system/vandra-server.service") \
    <(grep -vE "$by_design" "$root/lib/systemd/system/vandra-server@.service"))
[ -z "$drift" ] || fail "the template unit differs from the plain one: $drift"

echo "--- run from the unpacked root"
server="$root/usr/bin/vandra-server"
expect_line "$(timeout 10 "$server" --version)" "^vandra-server ${version//./\\.}$" "--version does not print $version"
# Started with no arguments it reads server.ini beside the real executable, through both links
# (here the /etc target is absent, so it stops on the source).
if [ ! -e /etc/vandra-server/server.ini ]; then
    (cd "$scratch" && timeout 10 "$server" >"$scratch/noargs.log" 2>&1)
    status=$?
    [ "$status" -eq 254 ] || fail "no-argument start ended with $status, not 254"
    grep -qF "fail open: $root/usr/lib/vandra-server/server.ini" "$scratch/noargs.log" ||
        fail "server.ini is not looked up beside the executable: $(cat "$scratch/noargs.log")"
fi

# As the service does: an unprivileged user without capabilities, and where this machine
# allows raising it, the nice limit the unit sets (LimitNICE=-10 is RLIMIT_NICE 30).
launcher=()
check_nice=0
if [ "$(id -u)" -eq 0 ]; then
    launcher=(setpriv --reuid=nobody --regid=nogroup --clear-groups --inh-caps=-all
        --bounding-set=-all --no-new-privs)
    if prlimit --nice=30 true 2>/dev/null; then
        launcher=(prlimit --nice=30 -- "${launcher[@]}")
        check_nice=1
    else
        echo "note: cannot raise RLIMIT_NICE here; the caller threads' nice value is not checked"
    fi
fi
state="$scratch/state"
mkdir -p "$state"
chmod 0777 "$state"
group="239.255.$((200 + $$ % 50)).$(($$ % 250 + 1))"
udp_port=$(free_port udp)
srt_port=$(free_port udp)
web_port=$(free_port tcp)
(cd "$state" && exec "${launcher[@]}" "$server" "source=udp://$group:$udp_port(127.0.0.1)" \
    "port=$srt_port" "webport=$web_port") >"$scratch/server.log" 2>&1 &
server_pid=$!
if ! wait_for_log "$scratch/server.log" '^-- used iface for MULTICAST GROUP: 127\.0\.0\.1' 10; then
    cat "$scratch/server.log"
    fail "the unpacked server did not start"
    exit 1
fi
grep -qF "web folder: $root/usr/lib/vandra-server/WEB " "$scratch/server.log" ||
    fail "WEB is not taken from beside the executable"
python3 -c "import sys, urllib.request
page = urllib.request.urlopen('http://127.0.0.1:$web_port/', timeout=5).read()
sys.exit(0 if b'<html' in page.lower() else 1)" || fail "the dashboard is not served from the package's WEB"

"$publisher" --group "$group" --port "$udp_port" --iface 127.0.0.1 --seconds 10 \
    >"$scratch/publisher.log" 2>&1 &
publisher_pid=$!
sleep 0.5
timeout 20 "$loadclient" --host 127.0.0.1 --port "$srt_port" --callers 1 --seconds 3 >"$scratch/caller.log" 2>&1 &
caller_pid=$!
if [ "$check_nice" -eq 1 ]; then
    niced=0
    for ((i = 0; i < 30 && niced == 0; i++)); do
        for stat in /proc/"$server_pid"/task/*/stat; do
            [ "$(awk '{ print $19 }' "$stat" 2>/dev/null)" = "-10" ] && niced=1
        done
        sleep 0.1
    done
    [ "$niced" -eq 1 ] || fail "no caller thread runs at nice -10 under RLIMIT_NICE 30"
fi
reap "$caller_pid" 25
caller_status=$reaped_status
caller_pid=0
echo "caller: $(tail -n 1 "$scratch/caller.log")"
[ "$caller_status" -eq 0 ] || fail "the caller did not receive the stream whole (status $caller_status)"
expect_line "$(tail -n 1 "$scratch/caller.log")" '"connected":1,' "the caller did not connect"

kill -TERM "$server_pid"
reap "$server_pid" 10
server_status=$reaped_status
server_pid=0
[ "$server_status" -eq 143 ] || fail "the server ended with $server_status on SIGTERM, not 143"
reap "$publisher_pid" 0
publisher_pid=0

echo "--- two channels side by side"
# As the template unit runs them: each instance from its own settings file (config=), with its
# own ports and working folder, both up at once and each stopped by its own PID.
mkdir -p "$scratch/etc"
for channel in news sport; do
    cat >"$scratch/etc/$channel.ini" <<EOF
source=udp://239.255.$((200 + $$ % 50)).$(($$ % 250 + 1)):$(free_port udp)(127.0.0.1)
port=$(free_port udp)
webport=$(free_port tcp)
EOF
    mkdir -p "$state/$channel"
    chmod 0777 "$state/$channel"
    (cd "$state/$channel" && exec "${launcher[@]}" "$server" "config=$scratch/etc/$channel.ini") \
        >"$scratch/$channel.log" 2>&1 &
    channel_pids+=($!)
done
for channel in news sport; do
    wait_for_log "$scratch/$channel.log" '^-- used iface for MULTICAST GROUP: 127\.0\.0\.1' 10 ||
        fail "channel $channel did not start: $(cat "$scratch/$channel.log")"
    channel_web=$(sed -n 's/^webport=//p' "$scratch/etc/$channel.ini")
    python3 -c "import sys, urllib.request
text = urllib.request.urlopen('http://127.0.0.1:$channel_web/metrics', timeout=5).read()
sys.exit(0 if b'\nvandra_callers 0\n' in text else 1)" || fail "channel $channel does not answer /metrics"
done
for pid in "${channel_pids[@]}"; do
    kill -TERM "$pid"
    reap "$pid" 10
    [ "$reaped_status" -eq 143 ] || fail "a channel ended with $reaped_status on SIGTERM, not 143"
done
channel_pids=()

if [ "$failures" -gt 0 ]; then
    echo "--- server log"
    cat "$scratch/server.log"
    echo "$failures package check(s) failed"
    exit 1
fi
echo "package checks passed"
