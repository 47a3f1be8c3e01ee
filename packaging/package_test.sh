#!/usr/bin/env bash
# Builds the Debian packages with dpkg-buildpackage from a scratch copy of the source tree (first
# argument) in a scratch folder (second argument), runs lintian on them (any error or warning
# fails), checks the control fields and files that matter, builds the example program of the
# -dev package against them by CMake package and by pkg-config, and installs, reinstalls,
# removes and purges them with dpkg on a scratch root inside a private mount namespace, where
# the rest of the machine is read-only. Nothing is installed on the machine.
set -euo pipefail

source=$(cd "$1" && pwd)
work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(cd "$work" && pwd)
cd "$work"

failures=0
check() {  # check DESCRIPTION COMMAND...: counts a failure when the command fails
    local what=$1
    shift
    if ! "$@" >/dev/null 2>&1; then
        echo "FAILED: $what"
        failures=$((failures + 1))
    fi
}
quietly() {  # quietly LOG COMMAND...: runs the command, printing its log only when it fails
    local log=$1
    shift
    "$@" >"$log" 2>&1 || { cat "$log"; exit 1; }
}

# A clean copy: the sources without any build tree, nor what a dpkg-buildpackage in the tree
# left there.
mkdir src
tar -C "$source" --exclude=./build --exclude=./.git --exclude='./obj-*' \
    --exclude=./debian/.debhelper --exclude=./debian/tmp --exclude=./debian/files \
    --exclude='./debian/*.substvars' --exclude=./debian/debhelper-build-stamp \
    --exclude=./debian/elevard --exclude=./debian/elevard-dbgsym --exclude=./debian/libelevard-client1 \
    --exclude=./debian/libelevard-client1-dbgsym --exclude=./debian/libelevard-client-dev \
    -cf - . | tar -C src -xf -
export DEB_BUILD_OPTIONS="nocheck parallel=$(nproc)"
(cd src && quietly ../build.log dpkg-buildpackage -us -uc -b)
version=$(dpkg-parsechangelog -l src/debian/changelog -S Version)
arch=$(dpkg-architecture -qDEB_HOST_ARCH)
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH)
service=elevard_${version}_$arch.deb
runtime=libelevard-client1_${version}_$arch.deb
development=libelevard-client-dev_${version}_$arch.deb
for deb in "$service" "$runtime" "$development" elevard-dbgsym_${version}_$arch.deb; do
    [ -f "$deb" ] || { echo "FAILED: dpkg-buildpackage made no $deb"; ls; exit 1; }
done

if ! lintian --no-cfg --fail-on error,warning ./*.deb >lintian.log 2>&1; then
    echo "FAILED: lintian reports errors or warnings"
    cat lintian.log
    failures=$((failures + 1))
fi

field() { dpkg-deb -f "$1" "$2"; }
check "service depends on the client library" grep -q 'libelevard-client1 (>= ' <<<"$(field "$service" Depends)"
check "service depends on what creates the group" grep -q 'systemd-sysusers' <<<"$(field "$service" Depends)"
check "C++ runtime dependency from shlibdeps" grep -q 'libstdc++6' <<<"$(field "$runtime" Depends)"
check "development package depends on the library of its version" \
    grep -qx "libelevard-client1 (= $version)" <<<"$(field "$development" Depends)"
check "recommends" test "$(field "$service" Recommends)" = "cifs-utils, dmidecode"
check "library is Multi-Arch: same" test "$(field "$runtime" Multi-Arch)" = same
check "development package is Multi-Arch: same" test "$(field "$development" Multi-Arch)" = same

for package in "$service" "$runtime"; do
    dpkg-deb -e "$package" "control-${package%%_*}"
done
symbols=control-libelevard-client1/symbols
check "the library has a symbols file" grep -q '^libelevard_client.so.1 libelevard-client1 #MINVER#' "$symbols"
check "the loader cache by dh_makeshlibs' trigger" grep -qx 'activate-noawait ldconfig' control-libelevard-client1/triggers
hand_written() {  # what debhelper's scripts never do: groupadd, ldconfig, systemctl start/stop
    cat control-*/preinst control-*/postinst control-*/prerm control-*/postrm 2>/dev/null |
        grep -Eq '(groupadd|ldconfig|systemctl (start|stop|restart|enable))'
}
check "no hand-written systemctl, groupadd or ldconfig" bash -c "$(declare -f hand_written); ! hand_written"
# The group must exist before systemd creates the socket that belongs to it.
group_before_socket() {
    local group socket
    group=$(grep -n 'systemd-sysusers' control-elevard/postinst | head -1 | cut -d: -f1)
    socket=$(grep -n "deb-systemd-invoke start 'elevard.socket'" control-elevard/postinst | cut -d: -f1)
    [ -n "$group" ] && [ -n "$socket" ] && [ "$group" -lt "$socket" ]
}
check "the group is created before the socket starts" group_before_socket
check "the socket is not restarted on upgrade" bash -c "! grep -q \"restart.*'elevard.socket'\" control-elevard/postinst"

# What the packages hold, unpacked side by side.
for deb in "$service" "$runtime" "$development"; do
    dpkg-deb -x "$deb" root
done
libdir=usr/lib/$multiarch
for file in usr/sbin/elevard usr/bin/elevard-client "$libdir/libelevard_client.so.1" \
    "$libdir/libelevard_client.so" usr/include/elevard/client.h usr/include/elevard/file_descriptor.h \
    "$libdir/cmake/elevard/elevardConfig.cmake" "$libdir/pkgconfig/elevard-client.pc" \
    lib/systemd/system/elevard.service lib/systemd/system/elevard.socket \
    usr/lib/sysusers.d/elevard.conf usr/share/doc/elevard/examples/velk_system_commands.ini \
    usr/share/doc/libelevard-client-dev/examples/app.cpp usr/share/man/man8/elevard.8.gz \
    usr/share/man/man1/elevard-client.1.gz; do
    check "ships $file" test -e "root/$file"
done
check "no private library in the public folder" \
    test "$(cd "root/$libdir" && ls -d lib*.so*)" = "$(printf '%s\n' libelevard_client.so libelevard_client.so.1 libelevard_client.so.1.0.0)"
check "no header of the kit" bash -c "! grep -rq velk root/usr/include"
for header in root/usr/include/elevard/*.h; do
    check "$header stands alone" g++ -std=c++20 -fsyntax-only -Iroot/usr/include -x c++ "$header"
done
for binary in root/usr/sbin/elevard root/usr/bin/elevard-client root/"$libdir"/libelevard_client.so.1; do
    check "$binary carries no search path" bash -c "! readelf -d '$binary' | grep -Eq 'RPATH|RUNPATH'"
    check "$binary needs no private library" bash -c "! readelf -d '$binary' | grep -q libvelk"
done
check "the symbols file lists what the library exports" test \
    "$(nm -D --defined-only root/"$libdir"/libelevard_client.so.1 | awk '$2 == "T" {print $3}' | sort)" = \
    "$(grep -v '^[^ ]' "$symbols" | sed 's/^ \(([^)]*)\)\{0,1\}//; s/@Base.*//' | sort)"

socket=root/lib/systemd/system/elevard.socket
unit=root/lib/systemd/system/elevard.service
for line in ListenStream=/tmp/quorvath_syscmd_socket3f64fa SocketUser=root SocketGroup=quorvath \
    SocketMode=0660 WantedBy=sockets.target; do
    check "socket unit: $line" grep -qx "$line" "$socket"
done
for line in ExecStart=/usr/sbin/elevard Type=notify Requires=elevard.socket Restart=on-failure \
    PrivateTmp=no; do
    check "service unit: $line" grep -qx "$line" "$unit"
done
check "service unit starts after the socket" grep -Eqx 'After=.*elevard\.socket.*' "$unit"
check "service unit gets no mount namespace" bash -c "! grep -Eq '^(Protect(System|Home)|PrivateDevices|PrivateMounts)=' '$unit'"
check "sysusers entry for the group" grep -qx 'g quorvath - -' root/usr/lib/sysusers.d/elevard.conf
check "pkg-config gives -I and -L below the system prefix, so no flag at all" \
    test "$(PKG_CONFIG_LIBDIR="root/$libdir/pkgconfig" pkg-config --cflags --libs elevard-client | xargs)" = "-lelevard_client"

export LD_LIBRARY_PATH=$work/root/$libdir
check "unpacked elevard prints its version" grep -qx "elevard $version" <<<"$(root/usr/sbin/elevard --version)"
check "unpacked elevard lists install's option" grep -q '^ install  *<deb_path> \[force-conflicts\]' <<<"$(root/usr/sbin/elevard --help)"
check "unpacked elevard-client runs" root/usr/bin/elevard-client --version

# The example of the -dev package, as it is installed, by CMake package and by pkg-config (the
# packages' tree as a system root), and against a tree that cmake --install put elsewhere.
example=root/usr/share/doc/libelevard-client-dev/examples
expected="no answer: cannot connect to $work/absent"
runs_example() {  # runs_example PROGRAM: no service listens, so exit 1 and say why
    local status=0 err
    err=$("$1" /tmp "$work/absent" 2>&1 >/dev/null) || status=$?
    [ "$status" -eq 1 ] && [[ $err == "$expected"* ]]
}
quietly unpacked.log cmake -S "$example" -B unpacked -DCMAKE_PREFIX_PATH="$work/root/usr"
check "find_package against the packages" cmake --build unpacked
check "the example built by find_package runs" runs_example unpacked/app
check "pkg-config against the packages" bash -c \
    'g++ -std=c++20 "$1" -o pkgconfig-app $(PKG_CONFIG_SYSROOT_DIR="$2" PKG_CONFIG_LIBDIR="$2/$3/pkgconfig" pkg-config --cflags --libs elevard-client)' \
    _ "$example/app.cpp" "$work/root" "$libdir"
check "the example built by pkg-config runs" runs_example ./pkgconfig-app
unset LD_LIBRARY_PATH
quietly install.log cmake --install "$(echo src/obj-*)" --prefix "$work/installed"
quietly installed.log cmake -S "$source/packaging/downstream" -B installed-app \
    -DCMAKE_PREFIX_PATH="$work/installed"
check "find_package against an installed tree" cmake --build installed-app

# Install, reinstall, remove and purge on a scratch root. dpkg runs the maintainer scripts
# without chroot, with DPKG_ROOT naming the root (debhelper's scripts honour it); in a private
# mount namespace where /run hides systemd and the machine's folders are read-only, so a script
# that ignored DPKG_ROOT fails here instead of changing the machine.
if [ "$(id -u)" -ne 0 ] || ! unshare --mount true 2>/dev/null; then
    echo "package: SKIPPED the install test: dpkg on a scratch root needs root and a private mount namespace"
elif ! command -v systemd-sysusers >/dev/null || ! command -v deb-systemd-helper >/dev/null; then
    echo "package: SKIPPED the install test: systemd-sysusers or deb-systemd-helper is missing"
else
    mkdir -p scratch/var/lib/dpkg/info scratch/var/lib/dpkg/updates scratch/etc
    touch scratch/var/lib/dpkg/status scratch/var/lib/dpkg/available
    # What the scratch root holds, leaving out what may stay on purpose: the group (files may
    # still belong to it), dpkg's own books and the empty folders that systemd's own package
    # holds on every host.
    listing() {
        (cd scratch && find . | sort) |
            grep -Ev '^\./(etc/(group|gshadow|passwd|shadow)-?|etc/\.pwd\.lock|var/lib/dpkg/.*)$' |
            grep -Ev '^\./(etc/systemd|etc/systemd/system|var/lib/systemd)$' || true
    }
    listing >before.list
    # shellcheck disable=SC2016
    if ! unshare --mount --propagation private bash -euc '
        work=$1
        mount -t tmpfs tmpfs /run
        for dir in /etc /usr /var /opt /boot /srv /home /root; do
            [ -d "$dir" ] && [[ $work != "$dir"/* ]] || continue
            mount --bind "$dir" "$dir" && mount -o remount,bind,ro "$dir"
        done
        cd "$work"
        dpkg="dpkg --root=$work/scratch --log=$work/dpkg.log --force-script-chrootless --force-depends"
        packages=(elevard libelevard-client1 libelevard-client-dev)
        fail() { echo "FAILED: $1"; exit 1; }
        $dpkg -i "${@:2}" >dpkg-install.log 2>&1 || { cat dpkg-install.log; fail "install"; }
        grep -q "^quorvath:" scratch/etc/group || fail "install creates the group quorvath"
        [ -L scratch/etc/systemd/system/sockets.target.wants/elevard.socket ] ||
            fail "install enables the socket"
        [ -L scratch/etc/systemd/system/multi-user.target.wants/elevard.service ] ||
            fail "install enables the service"
        $dpkg -i "${@:2}" >dpkg-reinstall.log 2>&1 || { cat dpkg-reinstall.log; fail "reinstall"; }
        $dpkg -r "${packages[@]}" >dpkg-remove.log 2>&1 || { cat dpkg-remove.log; fail "remove"; }
        [ ! -e scratch/usr/sbin/elevard ] || fail "remove takes the program away"
        $dpkg -P "${packages[@]}" >dpkg-purge.log 2>&1 || { cat dpkg-purge.log; fail "purge"; }
    ' _ "$work" "$work/$service" "$work/$runtime" "$work/$development"; then
        failures=$((failures + 1))
    else
        listing >after.list
        if ! diff before.list after.list >left.diff; then
            echo "FAILED: purge leaves something behind (>), or takes away (<):"
            grep '^[<>]' left.diff
            failures=$((failures + 1))
        fi
    fi
fi

if [ "$failures" -ne 0 ]; then
    echo "package: $failures checks failed; the packages unpack to:"
    (cd root && find . -type f | sort)
    exit 1
fi
echo "package: every check passed"
