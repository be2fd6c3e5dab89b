# Installing Tallyvox (cmake --install) and its Debian packages (cpack).
#
# Every file belongs to one install component, and each component is one
# Debian package:
#
#   monitor -> tallyvox         the program without a window, its unit, man page
#                               and Prometheus rules; no Qt Gui, Widgets or X
#     bin/                        tallyvox
#     lib/systemd/system/         tallyvox.service (ExecStart in this prefix's bin/)
#     share/man/man1/             tallyvox.1.gz
#     share/tallyvox/             tallyvox.rules.yml (Prometheus alerting rules)
#     share/doc/tallyvox/         tallyvox.example.toml, README.md, copyright,
#                                 changelog.Debian.gz
#     share/lintian/overrides/    tallyvox
#   window  -> tallyvox-window  the window, which tallyvox runs; depends on tallyvox
#     libexec/tallyvox/           tallyvox-window (tallyvox runs it for the window),
#                                 tallyvox-report (`tallyvox report`, Qt Gui charts)
#     share/applications/         tallyvox.desktop
#     share/doc/tallyvox-window/  copyright, changelog.Debian.gz
#     share/lintian/overrides/    tallyvox-window
#   tools   -> tallyvox-tools   the test server and the audit table tool
#     bin/                        mwserver, dbetool
#     share/man/man1/             mwserver.1.gz, dbetool.1.gz
#     share/doc/tallyvox-tools/   copyright, changelog.Debian.gz
#     share/lintian/overrides/    tallyvox-tools
#
# `cmake --install` without --component installs all three.
include(GNUInstallDirs)

set(TALLYVOX_DEBIAN_REVISION 1)
set(TALLYVOX_DEB_VERSION ${PROJECT_VERSION}-${TALLYVOX_DEBIAN_REVISION})
set(packaging_dir ${PROJECT_SOURCE_DIR}/packaging)
set(packaging_out ${CMAKE_BINARY_DIR}/packaging)

install(TARGETS tallyvox RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT monitor)
# tallyvox looks for its companions in ../libexec/tallyvox from its own
# folder, tallyvox-monitor for the window beside itself.
install(TARGETS tallyvox-monitor RUNTIME DESTINATION libexec/tallyvox COMPONENT monitor)
install(TARGETS tallyvox-window RUNTIME DESTINATION libexec/tallyvox COMPONENT window)
# `tallyvox report` paints its charts with Qt Gui: it goes with the window's
# libraries, never into the monitor's package.
install(TARGETS tallyvox-report RUNTIME DESTINATION libexec/tallyvox COMPONENT window)
install(TARGETS mwserver dbetool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

# The unit names the program by its path in the Debian package; an install
# into another prefix names it there. Written at install time (the prefix
# is known only then), straight into the destination.
install(CODE "
  set(prefix \"\${CMAKE_INSTALL_PREFIX}\")
  if(DEFINED CPACK_PACKAGING_INSTALL_PREFIX)
    set(prefix \"\${CPACK_PACKAGING_INSTALL_PREFIX}\")
  endif()
  file(READ \"${packaging_dir}/tallyvox.service\" unit)
  string(REPLACE \"ExecStart=/usr/bin/tallyvox \"
         \"ExecStart=\${prefix}/${CMAKE_INSTALL_BINDIR}/tallyvox \" unit \"\${unit}\")
  set(dest \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system\")
  message(STATUS \"Installing: \${dest}/tallyvox.service\")
  file(MAKE_DIRECTORY \"\${dest}\")
  file(WRITE \"\${dest}/tallyvox.service\" \"\${unit}\")
" COMPONENT monitor)
install(FILES packaging/tallyvox.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT window)
install(FILES tallyvox.example.toml README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/tallyvox
        COMPONENT monitor)
# The alerting rules stay outside the documentation: Prometheus on the same
# host can load them where they are, and a system that drops /usr/share/doc
# (dpkg path-exclude) keeps them.
install(FILES packaging/prometheus/tallyvox.rules.yml DESTINATION ${CMAKE_INSTALL_DATADIR}/tallyvox
        COMPONENT monitor)
# Starting points for several sites: Prometheus probing through /probe over
# file_sd (it loads the rules beside it), and Alertmanager grouping by address.
install(FILES packaging/prometheus/prometheus.yml packaging/prometheus/tallyvox-targets.yml
              packaging/alertmanager/alertmanager.yml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/tallyvox COMPONENT monitor)

# Man pages and changelogs go compressed, as Debian keeps them (-n: no name
# or time stamp, so the bytes depend on the text alone).
find_program(GZIP_PROGRAM gzip REQUIRED)
set(compressed_files)
function(tallyvox_gzip source output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${packaging_out}
    COMMAND ${GZIP_PROGRAM} -9 -n -c ${source} > ${output}
    DEPENDS ${source}
    COMMENT "Compressing ${source}")
  set(compressed_files ${compressed_files} ${output} PARENT_SCOPE)
endfunction()

tallyvox_gzip(${packaging_dir}/debian/changelog ${packaging_out}/changelog.Debian.gz)
foreach(page tallyvox mwserver dbetool)
  tallyvox_gzip(${packaging_dir}/${page}.1 ${packaging_out}/${page}.1.gz)
endforeach()
add_custom_target(man_page ALL DEPENDS ${compressed_files})

install(FILES ${packaging_out}/tallyvox.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1
        COMPONENT monitor)
install(FILES ${packaging_out}/mwserver.1.gz ${packaging_out}/dbetool.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)

# Each package carries its copyright, changelog and lintian overrides.
foreach(component monitor window tools)
  set(package tallyvox)
  if(NOT component STREQUAL "monitor")
    set(package tallyvox-${component})
  endif()
  install(FILES ${packaging_dir}/debian/copyright ${packaging_out}/changelog.Debian.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  install(FILES ${packaging_dir}/debian/${package}.lintian-overrides
          DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME ${package}
          COMPONENT ${component})
  string(TOUPPER ${component} COMPONENT)
  set(CPACK_DEBIAN_${COMPONENT}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${COMPONENT}_FILE_NAME DEB-DEFAULT)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tallyvox)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_DEBIAN_PACKAGE_RELEASE ${TALLYVOX_DEBIAN_REVISION})
set(CPACK_PACKAGE_VENDOR "Quorvant")
set(CPACK_PACKAGE_CONTACT "Tallyvox maintainers <tallyvox@quorvant.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL monitor window tools)
# Each package depends on the Debian packages of the libraries its own
# programs link (dpkg-shlibdeps), and the window on the monitor it runs in.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_MONITOR_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_WINDOW_PACKAGE_DEPENDS "tallyvox (= ${TALLYVOX_DEB_VERSION})")
set(CPACK_DEBIAN_MONITOR_PACKAGE_SUGGESTS "tallyvox-window, tallyvox-tools, prometheus")

set(CPACK_DEBIAN_MONITOR_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_WINDOW_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION utils)

# The monitor's maintainer scripts reload systemd, restart a running monitor
# on upgrade and stop it on removal; they never enable the unit.
set(CPACK_DEBIAN_MONITOR_PACKAGE_CONTROL_EXTRA
    ${packaging_dir}/debian/postinst ${packaging_dir}/debian/prerm ${packaging_dir}/debian/postrm)

# Summary on the first line, then the long description (lines under 80
# characters, an empty line between paragraphs).
set(CPACK_DEBIAN_MONITOR_DESCRIPTION
    "server monitor for middleware application servers, with alert mail
Tallyvox probes a roster of middleware application servers, records every
probe in a local audit table and mails an alert over SMTP with implicit TLS
when a server is down.

This package runs it without a window: under systemd (tallyvox.service,
installed but not enabled), as a monitoring plugin (tallyvox probe) and as a
Prometheus target (--metrics), with alerting rules for Prometheus. It needs
no graphical libraries; the window is in tallyvox-window.")
set(CPACK_DEBIAN_WINDOW_DESCRIPTION
    "server monitor for middleware application servers - window
Tallyvox probes a roster of middleware application servers, records every
probe in a local audit table and mails an alert over SMTP with implicit TLS
when a server is down.

This package adds the operator's window (Qt Widgets) and its menu entry:
the roster with a status line per server, the polling interval, the mail
accounts and the watchdog's log. The tallyvox command opens it.")
set(CPACK_DEBIAN_TOOLS_DESCRIPTION
    "test server and audit table tool for the Tallyvox server monitor
Tallyvox probes a roster of middleware application servers, records every
probe in a local audit table and mails an alert when a server is down.

This package holds two tools around it: mwserver, a simulated middleware
application server that answers the monitor's probes and can be told to
fail in several ways (for trials and demonstrations), and dbetool, which
creates, shows and writes the monitor's audit table.")

include(CPack)
