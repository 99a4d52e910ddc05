#!/usr/bin/env bash
# The Debian package as a user gets it: CPack makes it from the build tree;
# its control fields, its exact file list and its maintainer script are
# checked; it is unpacked into a scratch root where every file must sit where
# pcscd, man, bash and the shell look for it; then a private pcscd first
# starts on the reader.conf.d file as shipped (inactive: no reader, no
# failure), and then, enabled the way its comments say, serves the emulated
# reader on a pseudo-terminal through the installed handler until pcsc_scan
# shows the card's ATR.
#
# usage: deb_package_test.sh BUILD_DIR
set -uo pipefail

build=$(realpath "$1")
here=$(cd "$(dirname "$0")" && pwd)

harness=deb
# shellcheck source=../support/private_pcscd.sh
source "$here/../support/private_pcscd.sh"
if [ -z "${TAV712_PRIVATE_PCSCD:-}" ]; then
  for tool in cpack dpkg dpkg-deb dpkg-shlibdeps pcscd pcsc_scan groff nm; do
    command -v "$tool" >/dev/null || { echo "deb: $tool is missing (scripts/install-deps installs it)"; exit 1; }
  done
fi
enter_private_pcscd_namespace "$0" "$@"

# What the package holds, and nothing else (directories aside).
expected_files=(
  ./etc/reader.conf.d/tav712
  ./usr/bin/tav712
  ./usr/lib/pcsc/drivers/serial/libtav712_ifd.so
  ./usr/share/bash-completion/completions/tav712
  ./usr/share/doc/tav712/emulator/README.md
  ./usr/share/man/man1/tav712.1.gz
)
handler_path=/usr/lib/pcsc/drivers/serial/libtav712_ifd.so

# 1. The package, made from the build tree as a user would.
cmake --build "$build" --target tav712 tav712_ifd tav712_install_files >"$work/build.log" 2>&1 ||
  fail "the build tree does not build (build.log)"
cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/cpack" >"$work/cpack.log" 2>&1 ||
  fail "cpack -G DEB failed (cpack.log)"
debs=("$work"/cpack/*.deb)
[ "${#debs[@]}" -eq 1 ] && [ -f "${debs[0]}" ] || fail "cpack made ${#debs[@]} packages: ${debs[*]}"
deb=${debs[0]}
step "cpack made $(basename "$deb")"

# 2. Control fields: from the build, not written by hand.
version=$("$build/tools/tav712/tav712" --version | awk '{ print $2 }')
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = tav712 ] || fail "Package is '$(field Package)'"
[ "$(field Version)" = "$version" ] || fail "Version is '$(field Version)', tav712 --version says '$version'"
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
depends=$(field Depends)
for needed in "pcscd (>= " "libpcsclite1 (>= " "libc6" "libstdc++6"; do
  [[ $depends == *"$needed"* ]] || fail "Depends lacks '$needed': $depends"
done
mkdir "$work/control"
dpkg-deb -e "$deb" "$work/control"
[ "$(cat "$work/control/conffiles")" = /etc/reader.conf.d/tav712 ] || fail "conffiles: $(cat "$work/control/conffiles")"
[ -x "$work/control/postinst" ] || fail "no executable postinst"
step "control: $(field Package) $(field Version) $(field Architecture), Depends: $depends"

# 3. dpkg -c: exactly the intended files, owned by root, with their modes.
dpkg -c "$deb" >"$work/contents.log"
diff <(awk '$1 !~ /^d/ { print $6 }' "$work/contents.log" | sort) <(printf '%s\n' "${expected_files[@]}" | sort) \
  >"$work/contents-diff.log" ||
  fail "the package's files differ from the intended ones (contents-diff.log: < package, > intended)"
awk '$2 != "root/root" { exit 1 }' "$work/contents.log" || fail "entries not owned by root/root (contents.log)"
while read -r mode _ _ _ _ path; do
  case "$path" in
    ./usr/bin/tav712) want=-rwxr-xr-x ;;
    ./usr/lib/*.so) want=-rw-r--r-- ;;
    ./*/) want=drwxr-xr-x ;;
    *) want=-rw-r--r-- ;;
  esac
  [ "$mode" = "$want" ] || fail "$path has mode $mode, not $want"
done <"$work/contents.log"
step "dpkg -c: the ${#expected_files[@]} intended files, root-owned, usual modes"

# 4. Unpacked into a scratch root, each piece works where it lies.
root=$work/root
dpkg -x "$deb" "$root"
[ "$("$root/usr/bin/tav712" --version)" = "tav712 $version" ] || fail "the installed tav712 does not run"
exports=$(nm -D --defined-only "$root$handler_path")
grep -qw IFDHCreateChannelByName <<<"$exports" || fail "the installed handler exports no IFDHCreateChannelByName"
completion=$(bash -c "source '$root/usr/share/bash-completion/completions/tav712' && complete -p tav712") ||
  fail "the bash completion does not load"
[[ $completion == *"-F _tav712 tav712"* ]] || fail "the completion does not complete tav712: $completion"
zcat "$root/usr/share/man/man1/tav712.1.gz" >"$work/tav712.1"
LC_ALL=C.UTF-8 groff -man -Tutf8 -ww -z "$work/tav712.1" 2>"$work/groff.err" && [ ! -s "$work/groff.err" ] ||
  fail "groff warns about tav712(1) (groff.err)"
grep -q '^\.SH SYNOPSIS' "$work/tav712.1" && grep -q '^\.SH EXIT STATUS' "$work/tav712.1" ||
  fail "tav712(1) lacks its synopsis or exit status"
conf=$root/etc/reader.conf.d/tav712
active=$(grep -vE '^[[:space:]]*(#|$)' "$conf")
[ -z "$active" ] || fail "the shipped reader.conf.d entry is active: $active"
grep -qx "#LIBPATH $handler_path" "$conf" || fail "the reader.conf.d entry does not name $handler_path"
step "unpacked: tav712 runs, the handler exports its entry points, completion loads, man page is clean," \
  "reader.conf.d inactive"

# 5. cmake --install with another prefix: the same layout under it, and the
#    pcscd entry, still in /etc, names the handler there.
DESTDIR=$work/plain cmake --install "$build" --prefix /opt/tav712 >"$work/install.log" 2>&1 ||
  fail "cmake --install failed (install.log)"
diff <(cd "$work/plain" && find . -type f | sort) \
  <(printf '%s\n' "${expected_files[@]}" | sed 's|^\./usr/|./opt/tav712/|' | sort) >"$work/install-diff.log" ||
  fail "cmake --install --prefix /opt/tav712 puts files elsewhere (install-diff.log: < installed, > intended)"
grep -qx "#LIBPATH /opt/tav712/lib/pcsc/drivers/serial/libtav712_ifd.so" "$work/plain/etc/reader.conf.d/tav712" ||
  fail "the entry installed with prefix /opt/tav712 does not name its handler"
step "cmake --install --prefix /opt/tav712: same layout, the entry names /opt/tav712's handler"

# 6. postinst restarts pcscd only when it runs (init tools replaced by stubs
#    that record their calls).
stubs=$work/stubs
mkdir "$stubs"
for tool in systemctl invoke-rc.d; do
  printf '#!/bin/sh\necho "%s $*" >>"%s"\n' "$tool" "$work/restarts.out" >"$stubs/$tool"
done
run_postinst() {  # pidof-status action
  printf '#!/bin/sh\nexit %s\n' "$1" >"$stubs/pidof"
  chmod +x "$stubs"/*
  : >"$work/restarts.out"
  PATH=$stubs:$PATH sh "$work/control/postinst" "$2" || fail "postinst $2 failed"
}
run_postinst 1 configure
[ ! -s "$work/restarts.out" ] || fail "postinst touched a pcscd that was not running: $(cat "$work/restarts.out")"
run_postinst 0 abort-upgrade
[ ! -s "$work/restarts.out" ] || fail "postinst abort-upgrade restarted pcscd"
run_postinst 0 configure
grep -qxE 'systemctl try-restart pcscd.service|invoke-rc.d pcscd restart' "$work/restarts.out" &&
  [ "$(wc -l <"$work/restarts.out")" -eq 1 ] ||
  fail "postinst did not restart the running pcscd once: $(cat "$work/restarts.out")"
step "postinst: leaves a stopped pcscd alone, restarts a running one ($(cat "$work/restarts.out"))"

# 7. pcscd on the entry as shipped: starts, and has no reader.
start_pcscd "$conf" pcscd-inactive
timeout 20 pcsc_scan -r >"$work/pcsc_scan-inactive.log" 2>&1
grep -q "No reader found" "$work/pcsc_scan-inactive.log" ||
  fail "pcscd on the inactive entry does not answer 'no reader'"
kill "$pcscd_pid" 2>/dev/null || fail "pcscd stopped on the inactive entry"
wait "$pcscd_pid" 2>/dev/null
step "pcscd starts on the shipped entry and lists no TAV712"

# 8. Enabled as its comments say (uncomment, name the port); the scratch root
#    stands for / in LIBPATH. The emulator is the installed tav712.
start_emulator "$root/usr/bin/tav712" --card t1 --duration 120000
sed -E -e 's/^#(FRIENDLYNAME|DEVICENAME|LIBPATH|CHANNELID) /\1 /' -e "s|^DEVICENAME .*|DEVICENAME $pty|" \
  -e "s|^LIBPATH |LIBPATH $root|" "$conf" >"$work/reader.conf"
start_pcscd "$work/reader.conf"
timeout 60 pcsc_scan -n >"$work/pcsc_scan.log" 2>&1 &
pids+=("$!")
wait_for 30 "reader in pcsc_scan" grep -q "Obelmar TAV712" "$work/pcsc_scan.log"
wait_for 30 "ATR in pcsc_scan" grep -q "ATR: 3B" "$work/pcsc_scan.log"
step "enabled on $pty: pcsc_scan reads ATR $(grep -m1 -o 'ATR: [0-9A-F ]*' "$work/pcsc_scan.log" | cut -c6-)"

status=0
