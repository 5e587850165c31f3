# Install rules and the Debian package. Only the three programs and their desktop files are
# installed: test programs, benchmarks and the static libraries stay in the build folder.
include(GNUInstallDirs)

set(KARVO_PROGRAMS karvo-cli karvo-sim)
if(KARVO_GUI)
  list(PREPEND KARVO_PROGRAMS karvo-sp)
endif()
install(TARGETS ${KARVO_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(KARVO_PACKAGING ${CMAKE_SOURCE_DIR}/packaging)
if(KARVO_GUI)
  install(FILES ${KARVO_PACKAGING}/karvo-sp.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${KARVO_PACKAGING}/karvo-sp.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
install(FILES ${KARVO_PACKAGING}/karvo-cli.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${KARVO_PACKAGING}/99-karvo.rules DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/karvo-sp)
# The publisher as a service, one instance a station: the unit template goes where systemd
# looks for a package's units, its option reader beside the package's other private files.
install(FILES ${KARVO_PACKAGING}/karvo-publish@.service DESTINATION lib/systemd/system)
install(PROGRAMS ${KARVO_PACKAGING}/karvo-publish-run DESTINATION lib/karvo-sp)
install(FILES ${KARVO_PACKAGING}/publish-example.conf DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/karvo-sp)

set(CPACK_PACKAGE_NAME karvo-sp)
set(CPACK_PACKAGE_VENDOR "KARVO")
set(CPACK_PACKAGE_CONTACT "KARVO-SP developers <karvo-sp@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "setup program for KARVO laser distance sensors")
set(CPACK_PACKAGE_INSTALL_DIRECTORY karvo-sp)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# CPack puts the summary first and indents the rest as Debian wants.
set(CPACK_PACKAGE_DESCRIPTION
    "KARVO-SP connects to one KARVO laser distance sensor over a serial port or a
USB serial adapter, reads its identity, reads, edits, compares and writes its
parameters, keeps parameter sets in .prm files and sets its analog output
window.

The package holds the desktop program karvo-sp, the command-line tool
karvo-cli for scripts and production lines (and its MQTT publisher as the
systemd service karvo-publish@), the Python package karvo for test
scripts and notebooks, and karvo-sim, a simulated sensor on a pseudo-terminal
for trying them without hardware.")
# The libraries come from dpkg-shlibdeps; what it cannot see is named here: Qt's xcb
# platform plugin is loaded at run time, and the window's layout is drawn for the metrics of
# Arial and Times New Roman, which the Liberation fonts share.
# The Python module is built for one version of python3 and imports numpy.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(karvo_depends "")
if(KARVO_GUI)
  list(APPEND karvo_depends "qt6-qpa-plugins, fonts-liberation2 | fonts-liberation")
endif()
if(KARVO_PYTHON AND EXISTS ${CMAKE_SOURCE_DIR}/python/Python.cmake)
  include(${CMAKE_SOURCE_DIR}/python/Python.cmake)
  list(APPEND karvo_depends "${KARVO_PYTHON_DEPENDS}")
endif()
list(JOIN karvo_depends ", " CPACK_DEBIAN_PACKAGE_DEPENDS)

include(CPack)
