#!/usr/bin/env bash
# Builds the Debian packages from the source tree (first argument) in a scratch build (second
# argument) the way `cmake --workflow --preset package` does, runs lintian on them, checks the
# control fields and files that matter, unpacks them with dpkg-deb -x and runs the programs
# from there, and builds a small downstream project against the unpacked packages (CMake
# package and pkg-config) and against an installed tree. Nothing is installed on the machine.
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

quietly configure.log cmake -S "$source" --preset package -B "$work/build"
quietly build.log cmake --build "$work/build" -j 2
quietly cpack.log cpack --config "$work/build/CPackConfig.cmake" -B "$work/out"
service=$(echo out/elevard_*.deb)
runtime=$(echo out/libelevard-client1_*.deb)
development=$(echo out/libelevard-client-dev_*.deb)

if ! lintian --no-cfg --fail-on error "$service" "$runtime" "$development" >lintian.log 2>&1; then
    echo "FAILED: lintian reports errors"
    cat lintian.log
    failures=$((failures + 1))
fi

field() { dpkg-deb -f "$1" "$2"; }
check "service depends on the client library" grep -q 'libelevard-client1 (= ' <<<"$(field "$service" Depends)"
check "C++ runtime dependency from shlibdeps" grep -q 'libstdc++6' <<<"$(field "$runtime" Depends)"
check "development package depends on the library" \
    grep -q 'libelevard-client1 (= ' <<<"$(field "$development" Depends)"
check "recommends" test "$(field "$service" Recommends)" = "cifs-utils, dmidecode"
check "maintainer is not on localhost" bash -c "! grep -q localhost <<<'$(field "$service" Maintainer)'"

for deb in "$service" "$runtime" "$development"; do
    dpkg-deb -x "$deb" root
done
dpkg-deb -e "$service" control
libdir=usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)
for file in usr/sbin/elevard usr/bin/elevard-client "$libdir/libvelk_kit.so.1" \
    "$libdir/libelevard_client.so.1" "$libdir/libelevard_client.so" \
    usr/include/elevard/client.h usr/include/elevard/command_table.h \
    usr/include/velk/kit/scoped_fd.h "$libdir/cmake/elevard/elevardConfig.cmake" \
    "$libdir/pkgconfig/elevard-client.pc" usr/lib/systemd/system/elevard.service \
    usr/lib/sysusers.d/elevard.conf usr/share/doc/elevard/examples/velk_system_commands.ini \
    usr/share/man/man8/elevard.8.gz usr/share/man/man1/elevard-client.1.gz; do
    check "ships $file" test -e "root/$file"
done
check "the service package holds no headers" bash -c "! dpkg-deb -c '$service' | grep -q include/"
for binary in root/usr/sbin/elevard root/usr/bin/elevard-client root/"$libdir"/lib*.so.1; do
    check "$binary carries no search path" bash -c "! readelf -d '$binary' | grep -Eq 'RPATH|RUNPATH'"
done

unit=root/usr/lib/systemd/system/elevard.service
check "unit starts the installed program" grep -qx 'ExecStart=/usr/sbin/elevard' "$unit"
check "unit restarts on failure" grep -qx 'Restart=on-failure' "$unit"
check "unit keeps the host's /tmp" grep -qx 'PrivateTmp=no' "$unit"
check "unit gets no mount namespace" bash -c "! grep -Eq '^(Protect(System|Home)|PrivateDevices|PrivateMounts)=' '$unit'"
check "sysusers entry for the group" grep -qx 'g quorvath - -' root/usr/lib/sysusers.d/elevard.conf
check "postinst creates the group" grep -q 'groupadd --system quorvath' control/postinst

export LD_LIBRARY_PATH=$work/root/$libdir
check "unpacked elevard prints its version" grep -qx 'elevard 1.0.0' <<<"$(root/usr/sbin/elevard --version)"
check "unpacked elevard lists the commands" grep -q '^ setFdLimit <pid> <value>' <<<"$(root/usr/sbin/elevard --help)"
check "unpacked elevard-client runs" root/usr/bin/elevard-client --version

# The downstream project against the unpacked packages, by CMake package and by pkg-config,
# and against a tree installed elsewhere than the packages' prefix.
downstream=$source/packaging/downstream
quietly unpacked.log cmake -S "$downstream" -B unpacked -DCMAKE_PREFIX_PATH="$work/root/usr"
check "find_package against the unpacked packages" cmake --build unpacked
check "the downstream program runs" unpacked/app
check "pkg-config against the unpacked packages" env PKG_CONFIG_PATH="$work/root/$libdir/pkgconfig" \
    bash -c 'g++ -std=c++20 "$0" -o pkgconfig-app $(pkg-config --cflags --libs elevard-client) && ./pkgconfig-app' \
    "$downstream/app.cpp"
quietly install.log cmake --install build --prefix "$work/installed"
quietly installed.log cmake -S "$downstream" -B installed-app -DCMAKE_PREFIX_PATH="$work/installed"
check "find_package against an installed tree" cmake --build installed-app

if [ "$failures" -ne 0 ]; then
    echo "package: $failures checks failed; the packages unpack to:"
    find root -type f | sort
    exit 1
fi
echo "package: every check passed"
