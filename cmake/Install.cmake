# Installation into a prefix and the Debian package.
#
#   <prefix>/bin/                          Quellor, storetool (and the converter beside them)
#   <prefix>/share/quellor/                the defaults a new per-user program folder receives:
#                                          help/, noticeFooter.txt, dmca-template.txt
#   <prefix>/share/applications/           quellor.desktop
#   <prefix>/share/icons/hicolor/scalable/ apps/quellor.svg
#
# An installed program keeps its tables and settings in the person's own folder (see
# src/app/Install.h), so nothing is installed beside the executable but programs.
include(GNUInstallDirs)

if(QUELLOR_BUILD_GUI)
  install(TARGETS Quellor RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(TARGETS storetool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
if(TARGET Text2Html)
  install(TARGETS Text2Html RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/help DESTINATION ${CMAKE_INSTALL_DATADIR}/quellor)
install(FILES ${CMAKE_SOURCE_DIR}/resources/noticeFooter.txt
              ${CMAKE_SOURCE_DIR}/resources/dmca-template.txt
        DESTINATION ${CMAKE_INSTALL_DATADIR}/quellor)
install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/quellor.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/quellor.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# cpack -G DEB in the build folder makes quellor_<version>_<arch>.deb. The shared libraries the
# programs link (Qt, ICU, the C++ runtime) become dependencies through dpkg-shlibdeps; the
# platform plugins Qt loads at run time and the desktop opener are named here.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quellor)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Quellor")
set(CPACK_PACKAGE_CONTACT "Quellor maintainers <maintainers@quellor.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Tracks piracy sites and sends complaint and DMCA notices to their providers")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, xdg-utils")
set(CPACK_STRIP_FILES ON)
include(CPack)
