# Installation and the Debian package.
#   cmake --install build --prefix /usr/local     the programs, their data and a desktop launcher
#   (cd build && cpack -G DEB)                    quoteboard_<version>_<arch>.deb of the same
include(GNUInstallDirs)

set(QB_DATA_DIR ${CMAKE_INSTALL_DATADIR}/quoteboard)

foreach(program quoteboard quote-server quotewatch)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(PROGRAMS packaging/quoteboard-start DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES data/AVAILABLE.TXT data/STOCKLIST.TXT data/MARKET.TXT DESTINATION ${QB_DATA_DIR})
install(FILES data/HOLIDAYS.TXT DESTINATION ${QB_DATA_DIR})
install(FILES packaging/quoteboard.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/quoteboard.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/128x128/apps)
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quoteboard)

set(CPACK_PACKAGE_NAME quoteboard)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGE_CONTACT "Quote Board maintainers <quoteboard@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Full-screen Taiwan stock-quote watch board")
set(CPACK_PACKAGE_DESCRIPTION
    "A full-screen watch board for up to ten Taiwan stocks, read from across a room and worked by touch, mouse or a few keys. Includes quote-server, a simulated market to watch, and quotewatch, the console watcher.")
set(CPACK_PACKAGE_INSTALL_DIRECTORY quoteboard)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs link come from dpkg-shlibdeps. What they load at run time is
# named here: the X11 platform plugin of Qt (in libqt6gui6 on Debian 12, qt6-qpa-plugins holds
# the others), the faces the board draws with, and bash for the launcher.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, fonts-arphic-ukai, fonts-liberation, bash")
include(CPack)
