#!/usr/bin/env bash
# Deployment tests: a staged install checked for its layout, the Debian package
# built and inspected, the systemd units verified, the package installed, the
# installed server run under systemd-socket-activate on a loopback port with a
# real client test against it, the system calls it makes checked against the
# service's sandbox, the tmpfiles.d clean-up rule, the SysV init script, lintian,
# the Prometheus rules, the man pages, and the purge that must leave the machine
# as it was.
#
# Needs root: it installs the package and purges it again before it ends.
# Usage: tools/test-packaging.sh  (build directory: $VH_BUILD_DIR, default build)
set -euo pipefail
cd "$(dirname "$0")/.."

build=${VH_BUILD_DIR:-build}
pkg=varnholt-httpd
user=varnholt-httpd
state_dir=/var/lib/varnholt-httpd
log_dir=/var/log/varnholt-httpd
default_file=/etc/default/varnholt-httpd
units=(varnholt-httpd.socket varnholt-httpd-tls.socket varnholt-httpd.service
    varnholt-httpd-standalone.service)

passed=0
failed=0
work=
server_pid=
user_made_here=0

pass() {
    passed=$((passed + 1))
    echo "ok   $1"
}

fail() {
    failed=$((failed + 1))
    echo "FAIL $1"
}

# check NAME COMMAND...: one test; the command's output is shown only on failure.
check() {
    local name=$1 out
    shift
    if out=$("$@" 2>&1); then
        pass "$name"
    else
        fail "$name"
        printf '%s\n' "$out" | head -n 40 | sed 's/^/     /'
    fi
}

# silent COMMAND...: succeeds when the command succeeds and prints nothing at all
# (systemd-analyze verify reports unknown settings as warnings, with status 0).
silent() {
    local out
    out=$("$@" 2>&1) || {
        printf '%s\n' "$out"
        return 1
    }
    if [ -n "$out" ]; then
        printf '%s\n' "$out"
        return 1
    fi
}

same() {
    [ "$1" = "$2" ] || {
        printf 'expected: %s\n     got: %s\n' "$2" "$1"
        return 1
    }
}

summarized=0
summary() {
    summarized=1
    echo "$passed passed, $failed failed"
}

# dpkg, waiting up to two minutes while another process holds its lock.
dpkg_waiting() {
    local out
    for _ in $(seq 60); do
        if out=$(DEBIAN_FRONTEND=noninteractive dpkg "$@" 2>&1); then
            printf '%s\n' "$out"
            return 0
        fi
        grep -q 'lock' <<<"$out" || {
            printf '%s\n' "$out" >&2
            return 1
        }
        sleep 2
    done
    printf '%s\n' "$out" >&2
    return 1
}

package_present() {
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -Eq 'installed|config-files|unpacked'
}

# Ends the server started last: under strace, strace's child first (strace
# itself stays until its child is gone).
stop_server() {
    local child
    if [ -z "$server_pid" ]; then
        return 0
    fi
    for child in $(pgrep -P "$server_pid"); do
        kill "$child" 2>/dev/null || true
    done
    kill "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
    server_pid=
}

cleanup() {
    local status=$?
    if [ "$summarized" = 0 ]; then
        fail "stopped early (status $status)"
        summary
    fi
    stop_server
    # SysV daemons a failed check left running (the user is the test's own).
    if getent passwd "$user" >/dev/null; then
        for pid in $(pgrep -u "$user" -x varnholt-httpd); do
            kill -9 "$pid" 2>/dev/null || true
        done
    fi
    if package_present; then
        dpkg_waiting --purge "$pkg" >/dev/null 2>&1 || true
    fi
    if [ "$user_made_here" = 1 ]; then
        deluser --quiet --system "$user" >/dev/null 2>&1 || true
        delgroup --quiet --system "$user" >/dev/null 2>&1 || true
    fi
    if [ -n "$work" ]; then
        rm -rf "$work"
    fi
}
trap cleanup EXIT

# ensure_packages [--lean] PACKAGE...: --lean installs without recommended
# packages and keeps their services from starting (prometheus would serve).
ensure_packages() {
    local missing=() p lean=0 policy=/usr/sbin/policy-rc.d made_policy=0
    if [ "$1" = --lean ]; then
        lean=1
        shift
    fi
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            missing+=("$p")
        fi
    done
    if [ ${#missing[@]} -gt 0 ]; then
        echo "Installing: ${missing[*]}"
        apt-get update -qq
        if [ "$lean" = 0 ]; then
            DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
            return
        fi
        if [ ! -e "$policy" ]; then
            printf '#!/bin/sh\nexit 101\n' >"$policy"
            chmod 755 "$policy"
            made_policy=1
        fi
        DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null || {
            [ "$made_policy" = 0 ] || rm -f "$policy"
            return 1
        }
        [ "$made_policy" = 0 ] || rm -f "$policy"
    fi
}

if [ "$(id -u)" -ne 0 ]; then
    echo "tools/test-packaging.sh installs a package: run it as root" >&2
    fail "run as root"
    summary
    exit 1
fi
# The test installs and purges the package and its user: it must not take away
# ones that an administrator installed.
if package_present || getent passwd "$user" >/dev/null || getent group "$user" >/dev/null; then
    echo "$pkg or its user already exists on this machine; not touching it" >&2
    fail "clean machine"
    summary
    exit 1
fi

tools/install-deps.sh
# systemd: systemd-analyze, systemd-socket-activate, systemd-tmpfiles;
# dpkg-dev: dpkg-shlibdeps for the package's dependencies; man-db, groff-base:
# rendering checks; adduser: the package's maintainer scripts; iproute2: ss;
# binutils: objdump; strace: the system calls the sandbox must allow; procps: pgrep.
ensure_packages systemd dpkg-dev man-db groff-base shellcheck adduser iproute2 binutils strace \
    procps
# lintian: the package's checks; prometheus: promtool for the packaged rules.
ensure_packages --lean lintian prometheus

work=$(mktemp -d /tmp/vh-packaging.XXXXXX)
chmod 0755 "$work"

# --- build ---------------------------------------------------------------
generator=()
if [ ! -f "$build/CMakeCache.txt" ]; then
    generator=(-G Ninja)
fi
cmake -S . -B "$build" "${generator[@]}" -DCMAKE_INSTALL_PREFIX=/usr >/dev/null
cmake --build "$build" --target varnholt-httpd varnholt-client varnholt-token vh_man_pages
unit_dir=$(sed -n 's/^VH_SYSTEMD_UNIT_DIR:PATH=//p' "$build/CMakeCache.txt")
tmpfiles_dir=$(sed -n 's/^VH_TMPFILES_DIR:PATH=//p' "$build/CMakeCache.txt")

# --- staged install --------------------------------------------------------
stage=$work/stage
DESTDIR=$stage cmake --install "$build" >/dev/null
expected_files=$(sort <<EOF
etc/default/varnholt-httpd
etc/init.d/varnholt-httpd
${unit_dir#/}/varnholt-httpd-standalone.service
${unit_dir#/}/varnholt-httpd-tls.socket
${unit_dir#/}/varnholt-httpd.service
${unit_dir#/}/varnholt-httpd.socket
usr/bin/varnholt-client
usr/bin/varnholt-token
${tmpfiles_dir#/}/varnholt-httpd.conf
usr/sbin/varnholt-httpd
usr/share/doc/varnholt-httpd/README.md
usr/share/doc/varnholt-httpd/changelog.gz
usr/share/doc/varnholt-httpd/operating.md
usr/share/doc/varnholt-httpd/fleet.md
usr/share/doc/varnholt-httpd/clickhouse.md
usr/share/doc/varnholt-httpd/copyright
usr/share/varnholt-httpd/prometheus/varnholt-httpd.rules.yml
usr/share/varnholt-httpd/schema/bigquery.json
usr/share/varnholt-httpd/schema/clickhouse.sql
usr/share/varnholt-httpd/clickhouse/varnholt-archive-ship
usr/share/varnholt-httpd/clickhouse/varnholt-archive-ship.service
usr/share/varnholt-httpd/clickhouse/varnholt-archive-ship.timer
usr/share/varnholt-httpd/schema/download.schema.json
usr/share/varnholt-httpd/schema/latency.schema.json
usr/share/varnholt-httpd/schema/upload.schema.json
usr/share/man/man1/varnholt-client.1.gz
usr/share/man/man1/varnholt-token.1.gz
usr/share/man/man8/varnholt-httpd.8.gz
EOF
)
staged_files=$(cd "$stage" && find . ! -type d | sed 's|^\./||' | sort)
check "staged install: exactly the expected files" same "$staged_files" "$expected_files"

staged_modes() {
    local f mode want bad=0
    while read -r f; do
        mode=$(stat -c %a "$stage/$f")
        case $f in
        usr/bin/* | usr/sbin/* | etc/init.d/* | */varnholt-archive-ship) want=755 ;;
        *) want=644 ;;
        esac
        if [ "$mode" != "$want" ]; then
            echo "$f: mode $mode, expected $want"
            bad=1
        fi
    done <<<"$staged_files"
    return $bad
}
check "staged install: programs 755, data 644" staged_modes
no_placeholders() {
    ! grep -rn '@[A-Z_]*@' "$stage/etc" "$stage/${unit_dir#/}" "$stage/${tmpfiles_dir#/}"
}
check "staged install: no placeholder left unfilled" no_placeholders

# --- Debian package ----------------------------------------------------------
(cd "$build" && cpack -G DEB -B "$work/pkg" >/dev/null)
debs=("$work"/pkg/*.deb)
deb=${debs[0]}
check "cpack built one package" same "${#debs[@]}" 1
check "package name" same "$(dpkg-deb -f "$deb" Package)" "$pkg"
check "package architecture" same "$(dpkg-deb -f "$deb" Architecture)" "$(dpkg --print-architecture)"
deb_files=$(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\.\//, "", $6); print $6 }' | sort)
check "package holds the staged files" same "$deb_files" "$expected_files"

# Every shared library the programs link must come from a package named in Depends.
depends=$(dpkg-deb -f "$deb" Depends)
depends_names=$(tr ',|' '\n' <<<"$depends" | sed 's/^ *//; s/[ (].*//')
# dpkg knows a library by its path in the package that ships it, which with a
# merged /usr may be with or without the /usr prefix: ask for both at once.
check_depends() {
    local bin soname path owner bad=0 owners
    local -A library
    for bin in "$stage/usr/sbin/varnholt-httpd" "$stage/usr/bin/varnholt-client" \
        "$stage/usr/bin/varnholt-token"; do
        for soname in $(objdump -p "$bin" | awk '$1 == "NEEDED" { print $2 }'); do
            library[$soname]=$(ldconfig -p | awk -v s="$soname" '$1 == s { print $NF; exit }')
        done
    done
    owners=$(for path in "${library[@]}"; do
        printf '%s\n%s\n' "/usr${path#/usr}" "${path#/usr}"
    done | xargs dpkg -S 2>/dev/null || true)
    for soname in "${!library[@]}"; do
        if [ -z "${library[$soname]}" ]; then
            echo "$soname: not found by ldconfig"
            bad=1
            continue
        fi
        path=${library[$soname]#/usr}
        owner=$(awk -v p="$path" -v u="/usr$path" '$2 == p || $2 == u { sub(/:.*/, "", $1); print $1; exit }' <<<"$owners")
        if [ -z "$owner" ] || ! grep -qxF "$owner" <<<"$depends_names"; then
            echo "$soname (${library[$soname]}, package '$owner') not in Depends: $depends"
            bad=1
        fi
    done
    if ! grep -qxF adduser <<<"$depends_names"; then
        echo "adduser (maintainer scripts) not in Depends"
        bad=1
    fi
    return $bad
}
check "Depends covers every linked library and adduser" check_depends

dpkg-deb -e "$deb" "$work/control"
check "conffiles: the configuration file and the init script" \
    same "$(cat "$work/control/conffiles")" "$default_file
/etc/init.d/$pkg"
scripts_executable() {
    local script
    for script in postinst prerm postrm; do
        same "$(stat -c %a "$work/control/$script")" 755 || return 1
    done
}
check "maintainer scripts are executable" scripts_executable
check "maintainer scripts and init script: shellcheck" \
    shellcheck -s sh "$work/control/postinst" "$work/control/prerm" "$work/control/postrm" \
    "$stage/etc/init.d/$pkg"
# Errors and warnings fail; info tags are shown.
check "lintian: no error, no warning" lintian --fail-on error,warning "$deb"
# Built with Debian's hardening: lintian's hardening-no-* tags name what is missing.
hardened() {
    local bin headers symbols
    for bin in "$stage/usr/sbin/varnholt-httpd" "$stage/usr/bin/varnholt-client" \
        "$stage/usr/bin/varnholt-token"; do
        headers=$(readelf -hldW "$bin")
        symbols=$(readelf -W --dyn-syms "$bin")
        grep -q 'FLAGS.*BIND_NOW' <<<"$headers" || echo "$bin: not bound at start-up"
        grep -q GNU_RELRO <<<"$headers" || echo "$bin: no RELRO"
        grep -q 'DYN (Position-Independent' <<<"$headers" || echo "$bin: not PIE"
        grep -q '__[a-z_]*_chk@' <<<"$symbols" || echo "$bin: no fortified function"
        grep -q '__stack_chk_fail@' <<<"$symbols" || echo "$bin: no stack protector"
    done | grep . && return 1
    return 0
}
check "binaries hardened: PIE, RELRO, bound now, fortified, stack protector" hardened

# --- Prometheus rules ---------------------------------------------------------
rules=$stage/usr/share/$pkg/prometheus/$pkg.rules.yml
check "promtool check rules" promtool check rules "$rules"
check "promtool test rules: every alert fires and stays quiet" \
    promtool test rules tests/prometheus/rules_test.yml

# --- install -------------------------------------------------------------
check "dpkg -i" dpkg_waiting -i "$deb"
check "package installed" same "$(dpkg-query -W -f='${Status}' "$pkg")" "install ok installed"

check_user() {
    local entry uid home shell
    entry=$(getent passwd "$user") || {
        echo "no user $user"
        return 1
    }
    IFS=: read -r _ _ uid _ _ home shell <<<"$entry"
    if [ "$uid" -ge 1000 ]; then
        echo "uid $uid is not a system uid"
        return 1
    fi
    same "$home" "$state_dir" || return 1
    same "$shell" /usr/sbin/nologin || return 1
    getent group "$user" >/dev/null || {
        echo "no group $user"
        return 1
    }
}
check "system user and group created" check_user
check "log directory owned by the user, 0750" \
    same "$(stat -c '%U:%G %a' "$log_dir")" "$user:$user 750"
check "file to send created: 64 MiB, root 0644" \
    same "$(stat -c '%s %U %a' "$state_dir/payload.bin")" "67108864 root 644"
as_service_user() {
    setpriv --reuid="$user" --regid="$user" --init-groups "$@"
}
user_access() {
    as_service_user test -r "$state_dir/payload.bin" || return 1
    as_service_user touch "$log_dir/.probe" || return 1
    rm -f "$log_dir/.probe"
}
check "service user reads the file and writes the log directory" user_access
check "socket unit enabled" same "$(systemctl is-enabled varnholt-httpd.socket 2>&1)" enabled
check "TLS socket unit not enabled (it needs a certificate)" \
    same "$(systemctl is-enabled varnholt-httpd-tls.socket 2>&1 || true)" disabled
check "standalone unit not enabled" \
    same "$(systemctl is-enabled varnholt-httpd-standalone.service 2>&1 || true)" disabled

# --- units ---------------------------------------------------------------
installed_units=()
for u in "${units[@]}"; do
    installed_units+=("$unit_dir/$u")
done
# On the installed files: verify checks that the programs exist and that the
# Documentation= man pages are installed.
check "systemd-analyze verify: no error, no warning" silent systemd-analyze verify "${installed_units[@]}"
for u in varnholt-httpd.service varnholt-httpd-standalone.service; do
    check "$u: sandbox exposure at most 2.0" \
        systemd-analyze security --offline=yes --threshold=20 "$unit_dir/$u"
done

# --- session log clean-up --------------------------------------------------
# The installed rule, moved to a scratch directory: created with its owner and
# mode, and cleaned by modification age (files written 31 days ago go, 29 stay).
tmp_logs=$work/logs
sed "s|$log_dir|$tmp_logs|" "$tmpfiles_dir/varnholt-httpd.conf" >"$work/tmpfiles.conf"
check_tmpfiles() {
    systemd-tmpfiles --create "$work/tmpfiles.conf" || return 1
    same "$(stat -c '%U:%G %a' "$tmp_logs")" "$user:$user 750" || return 1
    touch -d '31 days ago' "$tmp_logs/old.log"
    touch -d '29 days ago' "$tmp_logs/recent.log"
    # Read just now: reading must not keep an old log.
    cat "$tmp_logs/old.log"
    systemd-tmpfiles --clean "$work/tmpfiles.conf" || return 1
    [ ! -e "$tmp_logs/old.log" ] || {
        echo "old.log survived"
        return 1
    }
    [ -e "$tmp_logs/recent.log" ] || {
        echo "recent.log was removed"
        return 1
    }
}
check "tmpfiles.d: log directory created, logs removed after 30 days" check_tmpfiles

# --- the installed server under socket activation ----------------------------
# Below the ephemeral range, and used by no socket at all: the servers bind the
# wildcard address, which an outgoing connection's local port blocks too.
free_port() {
    local p
    for _ in $(seq 50); do
        p=$((20000 + RANDOM % 12000))
        if [ -z "$(ss -Htuan "sport = :$p")" ]; then
            echo "$p"
            return 0
        fi
    done
    return 1
}
port=$(free_port)

# The service's own command line: its Environment= defaults, then the installed
# configuration file, then ExecStart. systemd expands "${VAR}" inside a word and
# splits a lone "$VAR" at spaces, as the shell does for these simple forms.
# The server's environment holds every VH_ variable, as systemd would give it.
service_unit=$unit_dir/varnholt-httpd.service
(
    while IFS= read -r assignment; do
        export "${assignment?}"
    done < <(sed -n 's/^Environment=//p' "$service_unit")
    set -a
    # shellcheck disable=SC1090
    . "$default_file"
    set +a
    exec_start=$(sed -n 's/^ExecStart=//p' "$service_unit")
    # Unset variables expand to nothing, as in systemd.
    set +u
    eval "args=($exec_start)"
    # shellcheck disable=SC2154
    printf '%s\0' "${args[@]}" >"$work/command"
    env -0 | grep -z '^VH_' >"$work/environment" || true
)
mapfile -d '' server_cmd <"$work/command"
activate_env=()
mapfile -d '' variables <"$work/environment"
for v in "${variables[@]}"; do
    activate_env+=(-E "$v")
done
echo "server: ${server_cmd[*]}"

# systemd-socket-activate binds the port, waits for the first connection and
# then execs the server in its own process with LISTEN_FDS and LISTEN_PID set;
# setpriv execs it too, so $! is the server's process id.
setpriv --reuid="$user" --regid="$user" --init-groups \
    systemd-socket-activate -l "127.0.0.1:$port" "${activate_env[@]}" "${server_cmd[@]}" \
    2>"$work/server.log" &
server_pid=$!
for _ in $(seq 50); do
    grep -q 'Listening on' "$work/server.log" && break
    sleep 0.1
done

client_out=$work/client.json
run_client() {
    timeout 60 /usr/bin/varnholt-client download --duration 2 --json "127.0.0.1:$port" >"$client_out"
}
check "client download test against the socket-activated server" run_client
client_result_ok() {
    grep -q '"ok":true' "$client_out" && grep -Eq '"bytes":[1-9]' "$client_out"
}
check "client result: ok with bytes moved" client_result_ok
# run_client_at PORT: a short download that must move bytes.
run_client_at() {
    port=$1 run_client && client_result_ok
}

check_server_process() {
    kill -0 "$server_pid" || {
        echo "server is gone"
        return 1
    }
    same "$(readlink "/proc/$server_pid/exe")" /usr/sbin/varnholt-httpd || return 1
    same "$(awk '/^Uid:/ { print $2 }' "/proc/$server_pid/status")" "$(id -u "$user")" || return 1
    # The only listening socket is the inherited one: the server opened none.
    local listening
    listening=$(ss -Hltnp | grep "pid=$server_pid," | awk '{ print $4 }')
    same "$listening" "127.0.0.1:$port" || return 1
    # Inherited blocking from systemd-socket-activate; the server sets O_NONBLOCK.
    local flags
    flags=$(awk '/^flags:/ { print $2 }' "/proc/$server_pid/fdinfo/3")
    [ $((8#$flags & 8#4000)) -ne 0 ] || {
        echo "descriptor 3 is blocking (flags $flags)"
        return 1
    }
}
check "server runs as $user on the inherited socket only, non-blocking" check_server_process
no_error_logged() {
    ! grep '^<3>' "$work/server.log"
}
check "server logged no error" no_error_logged
stop_server

# --- the sandbox's system-call filter -----------------------------------------
# Without systemd as process 1 the sandbox cannot be entered here. Instead the
# installed server is traced through a download, an upload, a latency test and a
# PUT, and every system call it makes is checked against the service's
# SystemCallFilter= lines; no mapping may be writable and executable at once
# (MemoryDenyWriteExecute=). A small shell sets LISTEN_PID to its own process id
# and execs the server, since strace stands between it and the activator.
syscalls_of() {
    local item
    for item in "$@"; do
        case $item in
        @*)
            # shellcheck disable=SC2046
            syscalls_of $(systemd-analyze syscall-filter "$item" | sed -n 's/^ \{1,\}\([@a-z0-9_-]\{1,\}\)$/\1/p')
            ;;
        *) echo "$item" ;;
        esac
    done
}
filter_allows() {
    local allowed denied used
    # shellcheck disable=SC2046
    allowed=$(syscalls_of $(sed -n 's/^SystemCallFilter=\([^~]\)/\1/p' "$service_unit") | sort -u)
    # shellcheck disable=SC2046
    denied=$(syscalls_of $(sed -n 's/^SystemCallFilter=~//p' "$service_unit") | sort -u)
    # The server's own calls: those after the shell exec'd it.
    used=$(awk '/execve\("\/usr\/sbin\/varnholt-httpd"/ { on = 1 } on' "$trace" |
        sed -n 's/^[0-9]* *\([a-z0-9_]*\)(.*/\1/p' | sort -u)
    [ -n "$used" ] || {
        echo "no system call traced"
        return 1
    }
    comm -23 <(echo "$used") <(echo "$allowed") | sed 's/$/: not in the allow list/' | grep . && return 1
    comm -12 <(echo "$used") <(echo "$denied") | sed 's/$/: in the deny list/' | grep . && return 1
    awk '/PROT_WRITE/ && /PROT_EXEC/ { print; found = 1 } END { exit !found }' "$trace" &&
        return 1
    return 0
}
traced_tests() {
    local client=/usr/bin/varnholt-client target=127.0.0.1:$port
    timeout 60 "$client" download --duration 1 "$target" >/dev/null || return 1
    timeout 60 "$client" upload --connections 2 --intervals 1 "$target" >/dev/null || return 1
    timeout 60 "$client" latency --duration 1 --connections 2 "$target" >/dev/null || return 1
    # A PUT to a missing log: the server looks for it beneath the log directory.
    (
        exec 3<>"/dev/tcp/127.0.0.1/$port"
        printf 'PUT /none.log HTTP/1.1\r\nHost: x\r\n\r\n' >&3
        sleep 0.5
    )
}
# strace runs as the service user: its output goes to a directory of that user.
install -d -o "$user" "$work/trace"
trace=$work/trace/strace.out
port=$(free_port)
# shellcheck disable=SC2016
setpriv --reuid="$user" --regid="$user" --init-groups \
    systemd-socket-activate -l "127.0.0.1:$port" "${activate_env[@]}" \
    strace -f -qq -o "$trace" \
    sh -c 'LISTEN_PID=$$; LISTEN_FDS=1; export LISTEN_PID LISTEN_FDS; exec "$@"' _ "${server_cmd[@]}" \
    2>"$work/traced.log" &
server_pid=$!
for _ in $(seq 50); do
    grep -q 'Listening on' "$work/traced.log" && break
    sleep 0.1
done
traced_tests_or_log() {
    traced_tests || {
        echo "server's standard error:"
        cat "$work/traced.log"
        return 1
    }
}
check "traced server: download, upload, latency test" traced_tests_or_log
stop_server
check "every system call the server made is allowed by the sandbox" filter_allows

# --- the SysV init script -------------------------------------------------
# As an administrator of a host without systemd uses it, with the installed
# configuration file pointing the server at a free port. postinst may have
# started it on port 80 already (where no policy forbids it): stop it first.
init=/etc/init.d/$pkg
port=$(free_port)
cp "$default_file" "$work/default.orig"
echo "VH_SERVICE=$port" >>"$default_file"
"$init" stop >/dev/null 2>&1 || true
# Live ones only: where process 1 reaps no orphans, a stopped daemon stays a zombie.
daemon_pids() {
    pgrep -r R,S,D -u "$user" -x varnholt-httpd
}
wait_for_port() {
    for _ in $(seq 50); do
        (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null && return 0
        sleep 0.1
    done
    echo "nothing listens on port $1"
    return 1
}
init_start() {
    "$init" start || return 1
    wait_for_port "$port"
}
check "init script: start" init_start
init_status() {
    local out status=0
    out=$("$init" status 2>&1) || status=$?
    printf '%s\n' "$out"
    same "$status" "$1" && grep -q "$2" <<<"$out"
}
check "init script: status reports running" init_status 0 'is running'
daemon_as_user() {
    local pid
    pid=$(daemon_pids) || {
        echo "no daemon"
        return 1
    }
    same "$(wc -w <<<"$pid")" 1 || return 1
    # A SysV daemon: a session of its own, working directory "/".
    same "$(readlink "/proc/$pid/cwd")" / || return 1
    [ "$(ps -o sid= -p "$pid")" != "$(ps -o sid= -p $$)" ] || {
        echo "daemon in the caller's session"
        return 1
    }
}
check "init script: one daemon, as $user, detached" daemon_as_user
check "init script: client download through the daemon" run_client_at "$port"
check "init script: stop" "$init" stop
check "init script: status reports stopped" init_status 3 'is not running'
no_daemon() {
    ! daemon_pids
}
check "init script: no daemon left" no_daemon
echo "VH_FILE=/nonexistent/payload.bin" >>"$default_file"
init_start_fails() {
    local out
    if out=$("$init" start 2>&1); then
        echo "start succeeded: $out"
        return 1
    fi
    printf '%s\n' "$out"
    grep -q "Can't access file /nonexistent/payload.bin" <<<"$out"
}
check "init script: a failing start reports failure with the server's message" init_start_fails
cp "$work/default.orig" "$default_file"

# SysV mode started by hand with relative paths: they hold after the daemon's
# chdir("/").
relative_paths() {
    local pid status=0
    port=$(free_port)
    (cd "$(dirname "$state_dir")" &&
        setpriv --reuid="$user" --regid="$user" --init-groups \
            /usr/sbin/varnholt-httpd -S -s "$port" -f "$(basename "$state_dir")/payload.bin" \
            -l "../log/$(basename "$log_dir")") || return 1
    wait_for_port "$port" && run_client_at "$port" || status=1
    pid=$(daemon_pids) && kill "$pid"
    for _ in $(seq 50); do
        daemon_pids >/dev/null || return $status
        sleep 0.1
    done
    echo "daemon did not stop"
    return 1
}
check "SysV mode keeps relative file and log directory paths" relative_paths

# --- man pages -----------------------------------------------------------
# Only the warnings: the rendered page goes away.
man_warnings() {
    { MANWIDTH=80 man --warnings -l "$1" >/dev/null; } 2>&1
}
for page in man/varnholt-httpd.8 man/varnholt-client.1 man/varnholt-token.1 \
    /usr/share/man/man8/varnholt-httpd.8.gz /usr/share/man/man1/varnholt-client.1.gz \
    /usr/share/man/man1/varnholt-token.1.gz; do
    check "man -l $page: no warning" silent man_warnings "$page"
done
for page in man/varnholt-httpd.8 man/varnholt-client.1 man/varnholt-token.1; do
    check "groff -ww $page: no warning" silent groff -man -ww -z "$page"
done
check "man finds the installed server page" same "$(man -w 8 varnholt-httpd)" /usr/share/man/man8/varnholt-httpd.8.gz
check "man finds the installed client page" same "$(man -w 1 varnholt-client)" /usr/share/man/man1/varnholt-client.1.gz

# Every long option of a program's --help is described in its man page, where
# hyphens are written "\-".
options_documented() {
    local program=$1 page=$2 option undocumented=0
    for option in $("$program" --help | grep -Eo -- '--[a-z][a-z-]*' | sort -u); do
        if ! grep -qF -- "${option//-/\\-}" "$page"; then
            echo "$option is not in $page"
            undocumented=1
        fi
    done
    return $undocumented
}
check "server man page covers every option" options_documented /usr/sbin/varnholt-httpd man/varnholt-httpd.8
check "client man page covers every option" options_documented /usr/bin/varnholt-client man/varnholt-client.1
check "token man page covers every option" options_documented /usr/bin/varnholt-token man/varnholt-token.1
check "man finds the installed token page" same "$(man -w 1 varnholt-token)" /usr/share/man/man1/varnholt-token.1.gz
# The installed command makes a key pair (the private key for its owner alone) and signs.
token_works() {
    local dir
    dir=$(mktemp -d)
    /usr/bin/varnholt-token keygen "$dir/k" "$dir/p" &&
        [ "$(stat -c %a "$dir/k")" = 600 ] &&
        /usr/bin/varnholt-token sign --key "$dir/k" --audience a --ttl 60 --unit 3 |
        grep -Eq '^[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+\.[A-Za-z0-9_-]+$'
    local status=$?
    rm -rf "$dir"
    return $status
}
check "varnholt-token makes keys and signs" token_works
check "server man page: environment and exit status" \
    grep -qE 'VH_VERBOSE' man/varnholt-httpd.8
check "client man page: exit status section" grep -q '^\.SH EXIT STATUS' man/varnholt-client.1

# --- purge ---------------------------------------------------------------
check "dpkg --purge" dpkg_waiting --purge "$pkg"
check_purged() {
    local left=0 path
    if package_present; then
        echo "package still known to dpkg"
        left=1
    fi
    getent passwd "$user" >/dev/null && echo "user $user left" && left=1
    getent group "$user" >/dev/null && echo "group $user left" && left=1
    for path in "$log_dir" "$state_dir" "$default_file" /usr/sbin/varnholt-httpd \
        /usr/bin/varnholt-client /usr/bin/varnholt-token "$unit_dir/varnholt-httpd.service" "/etc/init.d/$pkg" \
        /usr/share/$pkg; do
        if [ -e "$path" ]; then
            echo "$path left"
            left=1
        fi
    done
    if find /etc/systemd/system /var/lib/systemd/deb-systemd-helper-enabled \
        /var/lib/systemd/deb-systemd-helper-masked /etc/rc?.d -name '*varnholt*' 2>/dev/null |
        grep .; then
        left=1
    fi
    return $left
}
check "purge removed the user, logs, file to send and unit state" check_purged

# An account that existed before the package is not the package's to remove.
keeps_existing_user() {
    adduser --quiet --system --group --no-create-home --home "$state_dir" "$user" || return 1
    user_made_here=1
    dpkg_waiting -i "$deb" >/dev/null || return 1
    dpkg_waiting --purge "$pkg" >/dev/null || return 1
    getent passwd "$user" >/dev/null || {
        echo "purge removed a user it had not created"
        return 1
    }
}
check "purge keeps a user that existed before" keeps_existing_user
deluser --quiet --system "$user" >/dev/null 2>&1 || true
delgroup --quiet --system "$user" >/dev/null 2>&1 || true
# Likewise a group: the package's user joins it and goes, the group stays.
keeps_existing_group() {
    addgroup --quiet --system "$user" || return 1
    user_made_here=1
    dpkg_waiting -i "$deb" >/dev/null || return 1
    getent passwd "$user" >/dev/null || {
        echo "no user made"
        return 1
    }
    dpkg_waiting --purge "$pkg" >/dev/null || return 1
    ! getent passwd "$user" >/dev/null || {
        echo "purge left the user it created"
        return 1
    }
    getent group "$user" >/dev/null || {
        echo "purge removed a group it had not created"
        return 1
    }
}
check "purge keeps a group that existed before" keeps_existing_group
delgroup --quiet --system "$user" >/dev/null 2>&1 || true
user_made_here=0
user_gone() {
    ! getent passwd "$user" && ! getent group "$user"
}
check "machine left without the package's user" user_gone

summary
[ "$failed" -eq 0 ]
