#!/bin/sh
# The Debian package on this machine, from making to purging:
#   sh tests/package/check.sh <build directory>
# cpack makes it from the build directory; its files, modes and control data
# are checked and its manual page must render without a warning; dpkg
# installs it, the unit must pass systemd-analyze verify with the program in
# place, and the settings file must be a conffile readable by root only;
# then it is enabled, given a port link, purged, and nothing of it may be
# left.  It installs into the system, so it runs as root, and it purges the
# package again on every way out.  Exit status 77: skipped (no dpkg, not
# root, or a velkor package that is not this check's is installed).
set -u
build=$(cd "$1" && pwd) || exit 1

unit=/usr/lib/systemd/system/velkor.service
wants=/etc/systemd/system/multi-user.target.wants/velkor.service
# What the package installs besides directories: path and mode.
files="
/usr/bin/velkor 755
/usr/share/man/man8/velkor.8 644
/usr/share/doc/velkor/xterm-LICENSE 644
/usr/share/doc/velkor/addon-fit-LICENSE 644
$unit 644
/etc/default/velkor 600
"

failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}
step() { echo "== $*"; }

if ! command -v dpkg >/dev/null || ! command -v dpkg-deb >/dev/null; then
    echo "SKIP: dpkg is not installed: the Debian package cannot be made or installed here"
    exit 77
fi
if [ "$(id -u)" != 0 ]; then
    echo "SKIP: installing the package with dpkg needs root"
    exit 77
fi
for tool in cpack systemd-analyze systemctl groff man; do
    command -v $tool >/dev/null || { echo "FAIL: $tool is not installed (scripts/test.sh installs it)"; exit 1; }
done

# One check at a time on this machine: another build directory's check
# would install and purge the same package.  The lock is taken on dpkg's
# directory, which is always there, so that no lock file is left behind.
exec 9</var/lib/dpkg
flock -w 600 9 || { echo "FAIL: another package check held the lock for 10 minutes"; exit 1; }

status=$(dpkg-query -W -f='${Status}' velkor 2>/dev/null)
if [ -n "$status" ] && [ "$status" != "unknown ok not-installed" ]; then
    echo "SKIP: a velkor package is on this machine ($status); the check leaves it alone"
    exit 77
fi
for path in /etc/default/velkor /etc/velkor $unit /usr/bin/velkor $wants; do
    if [ -e "$path" ] || [ -L "$path" ]; then
        echo "SKIP: $path exists without the package; the check leaves it alone"
        exit 77
    fi
done

# What systemd-analyze verify leaves behind: it marks when it loaded the
# units (the service manager's own mark where systemd runs), and it runs
# "man 8 velkor" for the unit's Documentation=, which, run by root, keeps a
# formatted copy of the page in man's cache.  Whatever of these was not
# there before goes again at the end.
leftovers=
for path in /run/systemd/systemd-units-load /var/cache/man/cat8/velkor.8.gz; do
    [ -e $path ] || leftovers="$leftovers $path"
done

work=$(mktemp -d /tmp/velkor-package.XXXXXX)
installed=no
finish() {
    if [ $installed = yes ]; then
        echo "== purging the package on the way out"
        dpkg --purge velkor >/dev/null 2>&1 || echo "FAIL: dpkg --purge velkor failed"
    fi
    rm -f $leftovers
    rm -rf "$work"
}
trap finish EXIT
trap 'exit 1' INT TERM HUP

step "cpack -G DEB in $build"
if ! (cd "$build" && cpack -G DEB -B "$work/out") >"$work/cpack.log" 2>&1; then
    cat "$work/cpack.log"
    fail "cpack did not make the package"
    exit 1
fi
set -- "$work"/out/velkor_*.deb
if [ $# != 1 ] || [ ! -f "$1" ]; then
    fail "expected one velkor_*.deb, found: $*"
    exit 1
fi
deb=$1
echo "$deb"

step "contents"
dpkg-deb -c "$deb" | tee "$work/contents"
# Lines of dpkg-deb -c: mode owner/group size date time ./path
awk '$1 !~ /^d/ {print substr($6, 2)}' "$work/contents" | sort >"$work/shipped"
echo "$files" | awk 'NF {print $1}' | sort >"$work/expected"
if ! cmp -s "$work/shipped" "$work/expected"; then
    fail "the package's files differ from the expected ones (< shipped, > expected):"
    diff "$work/shipped" "$work/expected"
fi
others=$(awk '$2 != "root/root" {print $6}' "$work/contents")
[ -z "$others" ] || fail "not owned by root/root: $others"
grep -q ' \./etc/velkor/ports/$' "$work/contents" || fail "no ports directory /etc/velkor/ports"

step "control data"
dpkg-deb -f "$deb" Package Version Section Depends
[ "$(dpkg-deb -f "$deb" Package)" = velkor ] || fail "the package is not named velkor"
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libstdc++6; do
    case "$depends" in *"$lib "*) ;; *) fail "Depends does not name $lib: $depends" ;; esac
done
dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/default/velkor ] ||
    fail "conffiles is not exactly /etc/default/velkor: $(cat "$work/control/conffiles")"
for script in postinst prerm postrm; do
    [ -x "$work/control/$script" ] || fail "$script is missing or not executable"
    sh -n "$work/control/$script" || fail "$script is not valid sh"
done

step "the unit names the installed program"
dpkg-deb -x "$deb" "$work/root"
grep '^ExecStart=' "$work/root$unit"
grep -q '^ExecStart=/usr/bin/velkor -b ' "$work/root$unit" ||
    fail "ExecStart does not start /usr/bin/velkor -b"

step "groff -man -ww -z velkor.8"
if ! groff -man -ww -z "$work/root/usr/share/man/man8/velkor.8" >"$work/groff.log" 2>&1 ||
    [ -s "$work/groff.log" ]; then
    cat "$work/groff.log"
    fail "the manual page does not render cleanly"
fi

step "dpkg -i"
installed=yes
if ! dpkg -i "$deb" >"$work/dpkg.log" 2>&1; then
    cat "$work/dpkg.log"
    fail "dpkg -i failed"
    exit 1
fi
[ "$(dpkg-query -W -f='${Status}' velkor)" = "install ok installed" ] ||
    fail "dpkg does not report velkor installed"
echo "$files" | while read -r path mode; do
    [ -n "$path" ] || continue
    got=$(stat -c '%a %U:%G' "$path" 2>&1)
    echo "$path $got"
    [ "$got" = "$mode root:root" ] || echo "$path: expected $mode root:root" >>"$work/modes"
done
[ ! -s "$work/modes" ] || fail "$(cat "$work/modes")"
[ -d /etc/velkor/ports ] || fail "/etc/velkor/ports is not a directory"
dpkg-query -W -f='${Conffiles}\n' velkor | tee "$work/conffiles"
grep -q '^ /etc/default/velkor [0-9a-f]\{32\}$' "$work/conffiles" ||
    fail "/etc/default/velkor is not a conffile of the installed package"

step "systemd-analyze verify $unit"
if ! systemd-analyze verify "$unit" >"$work/verify.log" 2>&1 || [ -s "$work/verify.log" ]; then
    cat "$work/verify.log"
    fail "the unit does not verify cleanly"
fi
# The hardening as a whole: systemd's own exposure score, 0 (best) to 10.
step "systemd-analyze security --offline=yes"
systemd-analyze security --offline=yes "$unit" 2>&1 | tail -n 1
systemd-analyze security --offline=yes --threshold=20 "$unit" >/dev/null 2>&1 ||
    fail "the unit's exposure level is above 2.0"

step "man velkor: found, and formatted without a warning"
[ "$(man -w velkor 2>&1)" = /usr/share/man/man8/velkor.8 ] ||
    fail "man does not find velkor(8): $(man -w velkor 2>&1)"
# The page itself (-l), as man formats it.
if ! MANWIDTH=80 man --warnings -l /usr/share/man/man8/velkor.8 >/dev/null 2>"$work/man.log" ||
    [ -s "$work/man.log" ]; then
    cat "$work/man.log"
    fail "man --warnings is not clean"
fi

step "the installed program runs"
/usr/bin/velkor -h >"$work/usage" 2>&1
code=$?
head -n 1 "$work/usage"
[ $code = 1 ] && grep -q '^usage /usr/bin/velkor ' "$work/usage" ||
    fail "velkor -h: exit status $code"

step "enable, add a port link, dpkg --purge"
systemctl enable velkor.service || fail "systemctl enable velkor failed"
[ -L $wants ] || fail "systemctl enable made no link $wants"
ln -s /dev/ttyUSB0 /etc/velkor/ports/COM3
if ! dpkg --purge velkor >"$work/purge.log" 2>&1; then
    cat "$work/purge.log"
    fail "dpkg --purge failed"
fi
installed=no
status=$(dpkg-query -W -f='${Status}' velkor 2>/dev/null)
[ -z "$status" ] || [ "$status" = "unknown ok not-installed" ] ||
    fail "dpkg still knows velkor after the purge: $status"
for path in $(cat "$work/expected") /etc/velkor $wants; do
    if [ -e "$path" ] || [ -L "$path" ]; then fail "$path is left after the purge"; fi
done

if [ $failures != 0 ]; then
    echo "package check: $failures failed"
    exit 1
fi
echo "package check: passed"
