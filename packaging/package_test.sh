#!/usr/bin/env bash
# Builds the .deb from a finished build tree (the one argument), checks the control fields
# and files that matter, unpacks it into a scratch folder with dpkg-deb -x and runs the
# unpacked programs from there. Nothing is installed on the machine.
set -euo pipefail

build=$(cd "$1" && pwd)
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
cd "$scratch"

failures=0
check() {  # check DESCRIPTION COMMAND...: counts a failure when the command fails
    local what=$1
    shift
    if ! "$@" >/dev/null 2>&1; then
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}

if ! cpack --config "$build/CPackConfig.cmake" -B "$scratch/out" >cpack.log 2>&1; then
    cat cpack.log
    exit 1
fi
deb=$(echo out/elevard_*.deb)
field() { dpkg-deb -f "$deb" "$1"; }

check "package name" test "$(field Package)" = elevard
check "shared library dependencies declared" grep -q 'libc6' <<<"$(field Depends)"
check "C++ runtime dependency declared" grep -q 'libstdc++6' <<<"$(field Depends)"
check "recommends" test "$(field Recommends)" = "cifs-utils, dmidecode"
check "section" test "$(field Section)" = admin

dpkg-deb -x "$deb" root
dpkg-deb -e "$deb" control
for file in usr/bin/elevard usr/bin/elevard-client usr/lib/libvelk_kit.so.1 \
    usr/lib/libelevard_client.so.1 usr/include/elevard/client.h usr/include/elevard/protocol.h \
    usr/include/velk/kit/scoped_fd.h usr/lib/systemd/system/elevard.service \
    usr/lib/sysusers.d/elevard.conf usr/share/doc/elevard/examples/velk_system_commands.ini; do
    check "ships $file" test -e "root/$file"
done

unit=root/usr/lib/systemd/system/elevard.service
check "unit starts the installed program" grep -qx 'ExecStart=/usr/bin/elevard' "$unit"
check "unit restarts on failure" grep -qx 'Restart=on-failure' "$unit"
check "unit logs to the journal" grep -qx 'StandardOutput=journal' "$unit"
check "unit waits for local file systems" grep -qx 'After=local-fs.target' "$unit"
check "unit keeps the host's /tmp" grep -qx 'PrivateTmp=no' "$unit"
check "sysusers entry for the group" grep -qx 'g quorvath - -' root/usr/lib/sysusers.d/elevard.conf
check "postinst creates the group" grep -q 'systemd-sysusers elevard.conf' control/postinst
check "postinst falls back to groupadd" grep -q 'groupadd --system quorvath' control/postinst
check "postinst leaves the unit alone" bash -c "! grep -Eq 'systemctl (enable|start)' control/postinst"

# The unpacked programs find their libraries through \$ORIGIN/../lib alone.
help=$(env -u LD_LIBRARY_PATH root/usr/bin/elevard help 2>&1) || true
check "unpacked elevard prints the start-up line" \
    grep -qx 'Starting elevard, using domain socket: /tmp/quorvath_syscmd_socket3f64fa' <<<"$help"
check "unpacked elevard lists the commands" grep -q '^ setFdLimit <pid> <value>' <<<"$help"
check "unpacked elevard-client runs" env -u LD_LIBRARY_PATH root/usr/bin/elevard-client --help

if [ "$failures" -ne 0 ]; then
    echo "package: $failures checks failed; $deb unpacks to:"
    find root -type f | sort
    echo "$help"
    exit 1
fi
echo "package: every check passed for $(basename "$deb")"
