# The Debian packages, one per component: elevard (the programs, the kit library, the unit,
# the sysusers entry, the example configuration and the manual pages), libelevard-client1
# (the shared client library) and libelevard-client-dev (what a program needs to build
# against it). Included only when elevard is the top project. Build them with
#   cmake --workflow --preset package      (packages in build/package/)

set(ELEVARD_PACKAGE_MAINTAINER "elevard maintainers <elevard-maintainers@quorvath.example>"
    CACHE STRING "Maintainer field of the Debian packages: Name <address>")
set(ELEVARD_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME elevard)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL service runtime development)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${ELEVARD_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The libraries of the other packages are found in the build tree, not on the machine.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)

set(CPACK_COMPONENT_SERVICE_DEPENDS runtime)
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)

set(CPACK_DEBIAN_SERVICE_PACKAGE_NAME elevard)
set(CPACK_DEBIAN_SERVICE_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_SERVICE_PACKAGE_RECOMMENDS "cifs-utils, dmidecode")
set(CPACK_DEBIAN_SERVICE_PACKAGE_CONTROL_EXTRA
    ${ELEVARD_PACKAGING_DIR}/postinst ${ELEVARD_PACKAGING_DIR}/prerm
    ${ELEVARD_PACKAGING_DIR}/postrm ${ELEVARD_PACKAGING_DIR}/triggers)
set(CPACK_COMPONENT_SERVICE_DESCRIPTION
    "privileged helper service of the media server\n\
elevard runs as root and does root-only work (CIFS mounts, owners, directories,\n\
open files, storage queries, open-file limits, memory module inventory) for the\n\
members of the group quorvath, who send it one command line per connection over\n\
a Unix socket in /tmp. Includes the command-line client elevard-client.")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libelevard-client1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${ELEVARD_PACKAGING_DIR}/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "client library of the elevard service\n\
libelevard_client lets C++ programs call the elevard service over its Unix\n\
socket, one typed call per command.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libelevard-client-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "client library of the elevard service - development files\n\
Headers, the link library, a CMake package (find_package(elevard), target\n\
elevard::client) and a pkg-config file (elevard-client) for building programs\n\
that call the elevard service.")

include(CPack)
