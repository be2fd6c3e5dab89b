# Installing Tallyvox (cmake --install) and its Debian package (cpack).
#
#   bin/                          tallyvox, mwserver, dbetool
#   libexec/tallyvox/             tallyvox-window (tallyvox runs it for the window)
#   lib/systemd/system/           tallyvox.service (ExecStart in this prefix's bin/)
#   share/applications/           tallyvox.desktop
#   share/man/man1/               tallyvox.1.gz
#   share/doc/tallyvox/           tallyvox.example.toml, README.md
include(GNUInstallDirs)

install(TARGETS tallyvox mwserver dbetool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# tallyvox looks for it in ../libexec/tallyvox from its own folder.
install(TARGETS tallyvox-window RUNTIME DESTINATION libexec/tallyvox)

# The unit names the program by its path in the Debian package; an install
# into another prefix names it there. Written at install time (the prefix
# is known only then), straight into the destination.
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  if(DEFINED CPACK_PACKAGING_INSTALL_PREFIX)
    set(prefix \"\${CPACK_PACKAGING_INSTALL_PREFIX}\")
  endif()
  file(READ \"${PROJECT_SOURCE_DIR}/packaging/tallyvox.service\" unit)
  string(REPLACE \"ExecStart=/usr/bin/tallyvox \"
         \"ExecStart=\${prefix}/${CMAKE_INSTALL_BINDIR}/tallyvox \" unit \"\${unit}\")
  set(dest \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  message(STATUS \"Installing: \${dest}/tallyvox.service\")
  file(MAKE_DIRECTORY \"\${dest}\")
  file(WRITE \"\${dest}/tallyvox.service\" \"\${unit}\")
")
install(FILES packaging/tallyvox.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES tallyvox.example.toml README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tallyvox)

# Man pages go compressed, as Debian keeps them.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(man_page ${CMAKE_BINARY_DIR}/packaging/tallyvox.1.gz)
add_custom_command(
  OUTPUT ${man_page}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND ${GZIP_PROGRAM} -9 -n -c ${PROJECT_SOURCE_DIR}/packaging/tallyvox.1 > ${man_page}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/tallyvox.1
  COMMENT "Compressing the man page")
add_custom_target(man_page ALL DEPENDS ${man_page})
install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallyvox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quorvant")
set(CPACK_PACKAGE_CONTACT "Tallyvox maintainers <tallyvox@quorvant.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "server monitor for middleware application servers, with alert mail")
set(CPACK_PACKAGE_DESCRIPTION
    "Tallyvox probes a roster of middleware application servers, records every probe \
in a local audit table and mails an alert when a server is down. It runs as a \
desktop window, headless under systemd (tallyvox.service), as a monitoring \
plugin (tallyvox probe) and as a Prometheus target (--metrics).")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# The dependencies are the Debian packages of the libraries the programs link.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
include(CPack)
