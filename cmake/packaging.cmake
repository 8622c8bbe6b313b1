# The Debian package: "cpack" in a build tree builds kelvantor_VERSION_ARCH.deb
# with prefix /usr, whatever prefix the tree was configured with.  The sample
# configuration is the conffile /etc/kelvantor/kelvantor.conf and the unit goes
# to /lib/systemd/system (see cmake/install_system_files.cmake).

# The package version is the program's own ("1.5.1-pre2" becomes 1.5.1~pre2,
# which sorts before the release 1.5.1).
file(STRINGS "${CMAKE_SOURCE_DIR}/src/startup/startup.h" kv_version_line
     REGEX "program_version = \"[^\"]+\"")
string(REGEX REPLACE ".*\"([^\"]+)\".*" "\\1" kv_program_version "${kv_version_line}")
string(REPLACE "-" "~" kv_package_version "${kv_program_version}")

set(KELVANTOR_PACKAGE_MAINTAINER
    "kelvantor maintainers <maintainers@users.noreply.c-seed-26b46ef0.example>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kelvantor)
set(CPACK_PACKAGE_VERSION "${kv_package_version}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "milter that rejects mail for recipients unknown to the backend mail server")
set(CPACK_PACKAGE_DESCRIPTION
    "kelvantor is a mail filter (milter) for Postfix and sendmail on a mail gateway.
For every recipient of a domain routed to an internal mail server, it asks
that server over SMTP whether it would accept the recipient, and rejects the
recipients it refuses, so that the gateway does not accept mail that would
bounce later (backscatter). Verdicts are cached in memory and in a file.")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KELVANTOR_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# dpkg-shlibdeps (dpkg-dev) finds the packages of the shared libraries:
# libmilter1.0.1 (libmilter.so.1.0.1 on Debian 12), libmicrohttpd12,
# libhiredis0.14 and the versioned C and C++ run-time libraries.  Without it,
# name those packages directly.
find_program(KELVANTOR_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KELVANTOR_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libmilter1.0.1, libmicrohttpd12, libhiredis0.14")
endif()

file(WRITE "${CMAKE_BINARY_DIR}/packaging/conffiles" "/etc/kelvantor/kelvantor.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_BINARY_DIR}/packaging/conffiles")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

include(CPack)
