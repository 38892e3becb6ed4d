# Installation, systemd integration and the Debian package.
#
#   cmake --install build                       # into /usr, /etc, /lib/systemd/system
#   DESTDIR=/tmp/stage cmake --install build    # staged
#   cd build && cpack -G DEB                    # varnholt-httpd_<version>_<arch>.deb
#
# Configuration, unit and tmpfiles paths are absolute (the service manager looks
# for them there whatever the prefix): stage with DESTDIR, not with --prefix.

# A system daemon: install under /usr unless told otherwise.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(CMAKE_INSTALL_PREFIX /usr CACHE PATH "Installation prefix" FORCE)
endif()
include(GNUInstallDirs)

set(VH_PACKAGE_VERSION "${PROJECT_VERSION}" CACHE STRING "Version of the Debian package")
# Whoever builds the package for others names themselves here; the default is a
# placeholder that is not a local address.
set(VH_DEFAULT_MAINTAINER "Varnholt HTTP Server maintainers <maintainers@varnholt-httpd.example.org>")
set(VH_PACKAGE_MAINTAINER "${VH_DEFAULT_MAINTAINER}"
    CACHE STRING "Maintainer field of the Debian package and its changelog")
# Build trees configured before kept a local address, which no package may carry.
if(VH_PACKAGE_MAINTAINER MATCHES "@localhost>?$")
  set(VH_PACKAGE_MAINTAINER "${VH_DEFAULT_MAINTAINER}" CACHE STRING
      "Maintainer field of the Debian package and its changelog" FORCE)
endif()

# Where systemd reads units and tmpfiles.d rules: its own pkg-config variables,
# or Debian's locations when systemd's development data is absent.
pkg_get_variable(VH_PC_UNIT_DIR systemd systemdsystemunitdir)
if(NOT VH_PC_UNIT_DIR)
  set(VH_PC_UNIT_DIR /lib/systemd/system)
endif()
set(VH_SYSTEMD_UNIT_DIR "${VH_PC_UNIT_DIR}" CACHE PATH "systemd system unit directory")
pkg_get_variable(VH_PC_TMPFILES_DIR systemd tmpfilesdir)
if(NOT VH_PC_TMPFILES_DIR)
  set(VH_PC_TMPFILES_DIR /usr/lib/tmpfiles.d)
endif()
set(VH_TMPFILES_DIR "${VH_PC_TMPFILES_DIR}" CACHE PATH "systemd tmpfiles.d directory")

# Names and paths shared by the units, the configuration file, the tmpfiles.d
# rule and the maintainer scripts. /var/log is where systemd's LogsDirectory=
# puts the log directory, so these do not follow the prefix.
set(VH_USER varnholt-httpd)
set(VH_SBINDIR "${CMAKE_INSTALL_FULL_SBINDIR}")
set(VH_DEFAULT_FILE /etc/default/varnholt-httpd)
set(VH_STATE_DIR /var/lib/varnholt-httpd)
set(VH_PAYLOAD ${VH_STATE_DIR}/payload.bin)
set(VH_LOG_DIR_NAME varnholt-httpd)
set(VH_LOG_DIR /var/log/${VH_LOG_DIR_NAME})
set(VH_TMPFILES_NAME varnholt-httpd.conf)
set(VH_TMPFILES_CONF ${VH_TMPFILES_DIR}/${VH_TMPFILES_NAME})

set(vh_deploy_src ${PROJECT_SOURCE_DIR}/deploy)
set(vh_deploy_out ${PROJECT_BINARY_DIR}/deploy)
configure_file(${vh_deploy_src}/varnholt-httpd.socket ${vh_deploy_out}/varnholt-httpd.socket COPYONLY)
configure_file(${vh_deploy_src}/varnholt-httpd-tls.socket ${vh_deploy_out}/varnholt-httpd-tls.socket
               COPYONLY)
foreach(file IN ITEMS varnholt-httpd.service varnholt-httpd-standalone.service
                      varnholt-httpd.default varnholt-httpd.tmpfiles
                      varnholt-httpd.init
                      debian/postinst debian/prerm debian/postrm debian/conffiles
                      debian/changelog)
  configure_file(${vh_deploy_src}/${file}.in ${vh_deploy_out}/${file} @ONLY)
endforeach()

# Man pages, gzipped as Debian ships them.
set(vh_man_pages varnholt-httpd.8)
if(TARGET varnholt-client)
  list(APPEND vh_man_pages varnholt-client.1)
endif()
if(TARGET varnholt-token)
  list(APPEND vh_man_pages varnholt-token.1)
endif()
set(vh_man_outputs)
foreach(page IN LISTS vh_man_pages)
  set(out ${PROJECT_BINARY_DIR}/man/${page}.gz)
  add_custom_command(
    OUTPUT ${out}
    COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${PROJECT_SOURCE_DIR}/man/${page} ${out}
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
    COMMENT "Compressing man page ${page}"
    VERBATIM)
  string(REGEX REPLACE "^.*\\.([0-9])$" "\\1" section ${page})
  install(FILES ${out} DESTINATION ${CMAKE_INSTALL_MANDIR}/man${section})
  list(APPEND vh_man_outputs ${out})
endforeach()
# The package's changelog, gzipped as Debian ships it (a native package: changelog.gz).
set(vh_changelog_gz ${PROJECT_BINARY_DIR}/deploy/debian/changelog.gz)
add_custom_command(
  OUTPUT ${vh_changelog_gz}
  COMMAND sh -c "gzip -9nc \"$1\" > \"$2\"" sh ${vh_deploy_out}/debian/changelog ${vh_changelog_gz}
  DEPENDS ${vh_deploy_out}/debian/changelog
  COMMENT "Compressing the package changelog"
  VERBATIM)
list(APPEND vh_man_outputs ${vh_changelog_gz})
add_custom_target(vh_man_pages ALL DEPENDS ${vh_man_outputs})

install(TARGETS varnholt-httpd RUNTIME DESTINATION ${CMAKE_INSTALL_SBINDIR})
if(TARGET varnholt-client)
  install(TARGETS varnholt-client RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET varnholt-token)
  install(TARGETS varnholt-token RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES ${vh_deploy_out}/varnholt-httpd.socket
              ${vh_deploy_out}/varnholt-httpd-tls.socket
              ${vh_deploy_out}/varnholt-httpd.service
              ${vh_deploy_out}/varnholt-httpd-standalone.service
        DESTINATION ${VH_SYSTEMD_UNIT_DIR})
install(FILES ${vh_deploy_out}/varnholt-httpd.default
        DESTINATION /etc/default RENAME varnholt-httpd)
install(FILES ${vh_deploy_out}/varnholt-httpd.tmpfiles
        DESTINATION ${VH_TMPFILES_DIR} RENAME ${VH_TMPFILES_NAME})
install(PROGRAMS ${vh_deploy_out}/varnholt-httpd.init
        DESTINATION /etc/init.d RENAME varnholt-httpd)
install(FILES ${PROJECT_SOURCE_DIR}/README.md
              ${PROJECT_SOURCE_DIR}/docs/operating.md
              ${PROJECT_SOURCE_DIR}/docs/fleet.md
              ${PROJECT_SOURCE_DIR}/docs/clickhouse.md
              ${PROJECT_SOURCE_DIR}/deploy/debian/copyright
              ${vh_changelog_gz}
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/varnholt-httpd)
# Recording and alerting rules for Prometheus, to be included in its rule_files.
install(FILES ${PROJECT_SOURCE_DIR}/deploy/prometheus/varnholt-httpd.rules.yml
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/varnholt-httpd/prometheus)
# Schemas of the results archive's records (made by tools/archive_schema.py).
install(FILES ${PROJECT_SOURCE_DIR}/schema/download.schema.json
              ${PROJECT_SOURCE_DIR}/schema/upload.schema.json
              ${PROJECT_SOURCE_DIR}/schema/latency.schema.json
              ${PROJECT_SOURCE_DIR}/schema/bigquery.json
              ${PROJECT_SOURCE_DIR}/schema/clickhouse.sql
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/varnholt-httpd/schema)
# The ClickHouse shipper of the archive, with a timer for it (see clickhouse.md).
install(PROGRAMS ${PROJECT_SOURCE_DIR}/deploy/clickhouse/varnholt-archive-ship
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/varnholt-httpd/clickhouse)
install(FILES ${PROJECT_SOURCE_DIR}/deploy/clickhouse/varnholt-archive-ship.service
              ${PROJECT_SOURCE_DIR}/deploy/clickhouse/varnholt-archive-ship.timer
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/varnholt-httpd/clickhouse)

# Debian package. Run-time library dependencies (libcrypto of OpenSSL 3 among them) come
# from dpkg-shlibdeps; the
# maintainer scripts need adduser. The user, the log directory and the file to
# send are made by postinst (not shipped), so that purge can remove them.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME varnholt-httpd)
set(CPACK_PACKAGE_VERSION ${VH_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${VH_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "broadband speed-test server")
# Body of the description; its first line is the summary above.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "An HTTP/1.1 server that measures what a broadband line carries: download\n"
    "and upload throughput with warm-up detection, and TCP round-trip behaviour\n"
    "under load. Test clients run whole tests with the included varnholt-client.\n"
    "\n"
    "It runs under systemd with socket activation on port 80 (or with sockets of\n"
    "its own), or as a SysV daemon from its init script, and can serve metrics\n"
    "for Prometheus, for which alerting and recording rules are included.")
string(REPLACE ";" "" CPACK_DEBIAN_PACKAGE_DESCRIPTION "${CPACK_DEBIAN_PACKAGE_DESCRIPTION}")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser")
# invoke-rc.d --skip-systemd-native in the maintainer scripts.
set(CPACK_DEBIAN_PACKAGE_PREDEPENDS "init-system-helpers (>= 1.54~)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${vh_deploy_out}/debian/postinst
    ${vh_deploy_out}/debian/prerm
    ${vh_deploy_out}/debian/postrm
    ${vh_deploy_out}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
# Debug information stays in the build tree, not in the package.
set(CPACK_STRIP_FILES TRUE)
include(CPack)
