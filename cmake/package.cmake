# Installation and the Debian package (Linux only).
#
#   cmake --preset package && cmake --build --preset package
#   cd build/package && cpack -G DEB        # divivez_<version>_<arch>.deb
#
# The package holds divivez-proxy, the plug-in in a directory of its own
# (the unit passes --plugin: a private library does not belong beside a
# program in /usr/bin), the systemd unit, the settings file in /etc (a
# conffile), the man page and the README. The maintainer scripts create
# the service's user and reload systemd when it runs; they start nothing.
include(GNUInstallDirs)

set(DIVIVEZ_PLUGIN_INSTALL_DIR ${CMAKE_INSTALL_LIBDIR}/divivez)
set(DIVIVEZ_PLUGIN_INSTALL_PATH
    ${CMAKE_INSTALL_PREFIX}/${DIVIVEZ_PLUGIN_INSTALL_DIR}/$<TARGET_FILE_NAME:divivez>)
set(DIVIVEZ_PACKAGING_DIR ${PROJECT_SOURCE_DIR}/packaging)

install(TARGETS divivez-proxy RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS divivez LIBRARY DESTINATION ${DIVIVEZ_PLUGIN_INSTALL_DIR} NAMELINK_SKIP)

# The unit names the installed program and plug-in.
configure_file(${DIVIVEZ_PACKAGING_DIR}/divivez-proxy.service.in
               ${CMAKE_CURRENT_BINARY_DIR}/divivez-proxy.service.configured @ONLY)
file(GENERATE OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/divivez-proxy.service
     INPUT ${CMAKE_CURRENT_BINARY_DIR}/divivez-proxy.service.configured)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/divivez-proxy.service DESTINATION lib/systemd/system)
install(FILES ${DIVIVEZ_PACKAGING_DIR}/divivez-proxy.conf DESTINATION /etc/divivez)

# Man pages are installed compressed; -n keeps the time stamp out, so the
# same page gives the same bytes.
find_program(DIVIVEZ_GZIP gzip)
if(DIVIVEZ_GZIP)
  add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/divivez-proxy.8.gz
    COMMAND ${DIVIVEZ_GZIP} -9n -c ${DIVIVEZ_PACKAGING_DIR}/divivez-proxy.8 >
            ${CMAKE_CURRENT_BINARY_DIR}/divivez-proxy.8.gz
    DEPENDS ${DIVIVEZ_PACKAGING_DIR}/divivez-proxy.8
    COMMENT "Compressing the man page")
  add_custom_target(divivez_man_page ALL DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/divivez-proxy.8.gz)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/divivez-proxy.8.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
else()
  install(FILES ${DIVIVEZ_PACKAGING_DIR}/divivez-proxy.8 DESTINATION ${CMAKE_INSTALL_MANDIR}/man8)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME divivez)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "divivez maintainers <divivez@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "scanning SMTP proxy with its plug-in")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "divivez-proxy sits between SMTP clients and a mail server and has every\nmessage scanned (a built-in signature scanner or ClamAV's clamd) before the\nserver sees it. Runs as a systemd service; reload re-reads its signatures.")
set(CPACK_STRIP_FILES ON)
# The C and C++ libraries from dpkg-shlibdeps (libssl3 among them, named
# here too so that a build without dpkg-shlibdeps still says it); adduser
# for the postinst.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "adduser, libssl3 (>= 3.0.0)")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${DIVIVEZ_PACKAGING_DIR}/conffiles ${DIVIVEZ_PACKAGING_DIR}/postinst
    ${DIVIVEZ_PACKAGING_DIR}/prerm ${DIVIVEZ_PACKAGING_DIR}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
