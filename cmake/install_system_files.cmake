# Run at install time (install(SCRIPT)): installs the sample configuration,
# the systemd unit, the manual pages and the documentation, whose paths depend
# on the install prefix in force when installing.  That prefix is /usr when CPack builds the package, whatever the
# build tree was configured with, so the paths cannot be fixed at configure
# time.  kv_source_dir and kv_binary_dir are set by the caller.
#
#   prefix /usr:    /etc/kelvantor/kelvantor.conf, /lib/systemd/system/kelvantor.service
#   other prefixes: PREFIX/etc/kelvantor/kelvantor.conf, PREFIX/lib/systemd/system/kelvantor.service
#   both:           PREFIX/share/man/man{5,8}/*.gz, PREFIX/share/doc/kelvantor/
#
# Manual pages and the changelog are compressed as Debian ships them
# (gzip -9n: best compression, no file name or time stamp inside).
#
# An existing configuration file is kept: it may hold the administrator's
# changes.  (The package installs into an empty staging tree, and dpkg itself
# keeps a changed conffile.)

if(CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(kv_sysconf_dir /etc)
  set(kv_unit_dir /lib/systemd/system)
else()
  set(kv_sysconf_dir "${CMAKE_INSTALL_PREFIX}/etc")
  set(kv_unit_dir "${CMAKE_INSTALL_PREFIX}/lib/systemd/system")
endif()

set(KV_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(KV_SBINDIR "${CMAKE_INSTALL_PREFIX}/sbin")
set(KV_CONFIG "${kv_sysconf_dir}/kelvantor/kelvantor.conf")
configure_file("${kv_source_dir}/etc/kelvantor.service.in"
               "${kv_binary_dir}/install/kelvantor.service" @ONLY)

file(INSTALL DESTINATION "${kv_unit_dir}" TYPE FILE
     FILES "${kv_binary_dir}/install/kelvantor.service")

if(EXISTS "$ENV{DESTDIR}${KV_CONFIG}")
  message(STATUS "Keeping existing configuration: $ENV{DESTDIR}${KV_CONFIG}")
else()
  file(INSTALL DESTINATION "${kv_sysconf_dir}/kelvantor" TYPE FILE
       FILES "${kv_source_dir}/etc/kelvantor.conf")
endif()

find_program(kv_gzip gzip REQUIRED)
function(kv_install_gzipped source destination)
  get_filename_component(name "${source}" NAME)
  execute_process(COMMAND "${kv_gzip}" -9nc "${source}"
                  OUTPUT_FILE "${kv_binary_dir}/install/${name}.gz" COMMAND_ERROR_IS_FATAL ANY)
  file(INSTALL DESTINATION "${destination}" TYPE FILE FILES "${kv_binary_dir}/install/${name}.gz")
endfunction()

kv_install_gzipped("${kv_source_dir}/man/kelvantor.8" "${CMAKE_INSTALL_PREFIX}/share/man/man8")
kv_install_gzipped("${kv_source_dir}/man/kelvantorctl.8" "${CMAKE_INSTALL_PREFIX}/share/man/man8")
kv_install_gzipped("${kv_source_dir}/man/kelvantor.conf.5" "${CMAKE_INSTALL_PREFIX}/share/man/man5")

set(kv_doc_dir "${CMAKE_INSTALL_PREFIX}/share/doc/kelvantor")
kv_install_gzipped("${kv_source_dir}/packaging/changelog" "${kv_doc_dir}")
file(INSTALL DESTINATION "${kv_doc_dir}" TYPE FILE
     FILES "${kv_source_dir}/packaging/copyright" "${kv_source_dir}/README.md")
