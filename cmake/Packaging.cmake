# Installation and the Debian package.
#   cmake --install build --prefix /usr/local     the programs, their data and a desktop launcher
#   (cd build && cpack -G DEB)                    quoteboard_<version>_<arch>.deb of the same
include(GNUInstallDirs)

set(QB_VERSION ${PROJECT_VERSION})
set(QB_MAINTAINER "Quote Board Developers <quoteboard@users.noreply.github.com>")
set(QB_DATA_DIR ${CMAKE_INSTALL_DATADIR}/quoteboard)
set(QB_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/quoteboard)
set(QB_PACKAGING_OUT ${CMAKE_BINARY_DIR}/packaging)
set(QB_DATA_FILES data/AVAILABLE.TXT data/STOCKLIST.TXT data/MARKET.TXT data/HOLIDAYS.TXT)

option(QB_INSTALL_STRIP "cmake --install strips the programs (debian/rules leaves that to dh_strip)" ON)
if(QB_INSTALL_STRIP AND NOT QB_SANITIZE)
  install(CODE "set(CMAKE_INSTALL_DO_STRIP ON)")
endif()

# The programs find their data beside them as installed: DATADIR/quoteboard relative to BINDIR,
# so that no path of the build machine is compiled in. The build tree has the same layout: its
# programs (build/<folder>/<program>) find a copy of data/ in build/share/quoteboard.
file(RELATIVE_PATH QB_DATA_FROM_BINDIR /prefix/${CMAKE_INSTALL_BINDIR} /prefix/${QB_DATA_DIR})
if(TARGET ui_core)
  target_compile_definitions(ui_core PRIVATE QB_DATA_FROM_BINDIR="${QB_DATA_FROM_BINDIR}")
endif()
set(staged_data)
foreach(file ${QB_DATA_FILES})
  get_filename_component(name ${file} NAME)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/${QB_DATA_DIR}/${name}
                     COMMAND ${CMAKE_COMMAND} -E copy ${PROJECT_SOURCE_DIR}/${file} ${CMAKE_BINARY_DIR}/${QB_DATA_DIR}/${name}
                     DEPENDS ${file} VERBATIM)
  list(APPEND staged_data ${CMAKE_BINARY_DIR}/${QB_DATA_DIR}/${name})
endforeach()
add_custom_target(staged_data ALL DEPENDS ${staged_data})

foreach(program quoteboard quote-server quotewatch)
  if(TARGET ${program})
    target_compile_definitions(${program} PRIVATE QB_VERSION="${QB_VERSION}")
    add_dependencies(${program} staged_data)
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
configure_file(packaging/quoteboard-start ${QB_PACKAGING_OUT}/quoteboard-start @ONLY)
install(PROGRAMS ${QB_PACKAGING_OUT}/quoteboard-start DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${QB_DATA_FILES} packaging/quoteboard-autostart.desktop DESTINATION ${QB_DATA_DIR})
install(FILES packaging/quoteboard.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/quoteboard.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
install(FILES README.md debian/copyright DESTINATION ${QB_DOC_DIR})

# The board as a user service; the quote server as a system service, disabled when installed, with
# its options in /etc/default/quote-server. The programs' paths in them are those of the prefix
# installed to, which for the package is known only when it is made: they are filled in then.
foreach(unit quoteboard.service:user quote-server.service:system)
  string(REPLACE ":" ";" unit ${unit})
  list(GET unit 0 name)
  list(GET unit 1 kind)
  install(CODE "set(QB_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
    configure_file(\"${PROJECT_SOURCE_DIR}/packaging/${name}\" \"${CMAKE_BINARY_DIR}/packaging/units/${name}\" @ONLY)")
  install(FILES ${CMAKE_BINARY_DIR}/packaging/units/${name} DESTINATION lib/systemd/${kind})
endforeach()
install(FILES packaging/quote-server.default DESTINATION /etc/default RENAME quote-server)

# Manual pages (their version filled in) and the changelog, compressed as Debian has them (a
# native package: changelog.gz).
set(compressed_pages)
foreach(page quoteboard quote-server quotewatch quoteboard-start)
  configure_file(packaging/man/${page}.1 ${QB_PACKAGING_OUT}/man/${page}.1 @ONLY)
  list(APPEND compressed_pages ${QB_PACKAGING_OUT}/${page}.1.gz)
  add_custom_command(OUTPUT ${QB_PACKAGING_OUT}/${page}.1.gz
                     COMMAND gzip -9nc ${QB_PACKAGING_OUT}/man/${page}.1 > ${QB_PACKAGING_OUT}/${page}.1.gz
                     DEPENDS ${QB_PACKAGING_OUT}/man/${page}.1 VERBATIM)
endforeach()
add_custom_command(OUTPUT ${QB_PACKAGING_OUT}/changelog.gz
                   COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/debian/changelog > ${QB_PACKAGING_OUT}/changelog.gz
                   DEPENDS debian/changelog VERBATIM)
add_custom_target(packaging_docs ALL DEPENDS ${compressed_pages} ${QB_PACKAGING_OUT}/changelog.gz)
install(FILES ${compressed_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${QB_PACKAGING_OUT}/changelog.gz DESTINATION ${QB_DOC_DIR})

set(CPACK_PACKAGE_NAME quoteboard)
set(CPACK_PACKAGE_VERSION ${QB_VERSION})
set(CPACK_PACKAGE_CONTACT "${QB_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${QB_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Full-screen Taiwan stock-quote watch board")
set(CPACK_PACKAGE_DESCRIPTION
    "A full-screen watch board for up to ten Taiwan stocks, read from across a room
and worked by touch, mouse or a few keys. Includes quote-server, a simulated
market to watch or a gateway to the exchange's real-time quotes, and
quotewatch, the console watcher.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY quoteboard)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs link come from dpkg-shlibdeps (the X11 platform plugin of Qt
# is in libqt6gui6). What they load at run time is named here: the faces the board draws with,
# and the certificate authorities the gateway verifies the exchange's service against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-arphic-ukai, fonts-liberation, ca-certificates")
# The file under /etc is the administrator's: kept over upgrades. The maintainer scripts stop the
# server's unit on removal and forget its enablement on purge, as debhelper's do for debian/.
file(WRITE ${QB_PACKAGING_OUT}/conffiles "/etc/default/quote-server\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${QB_PACKAGING_OUT}/conffiles ${PROJECT_SOURCE_DIR}/packaging/maintainer/postinst
                                       ${PROJECT_SOURCE_DIR}/packaging/maintainer/prerm
                                       ${PROJECT_SOURCE_DIR}/packaging/maintainer/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/CPackChecks.cmake)
include(CPack)
