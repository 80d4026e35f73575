# Debian package of both programs: cpack -G DEB in the build folder.
set(CPACK_PACKAGE_NAME korvi-flasher)
set(CPACK_PACKAGE_VENDOR "Korvi")
set(CPACK_PACKAGE_CONTACT "Korvi Flasher maintainers <flasher@korvi.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Write Intel HEX firmware into devices over a serial port (window and command line)")
set(CPACK_PACKAGE_DESCRIPTION
    "korvi-flasher is a one-dialog window for service technicians; korvi-flash runs the same\n update from scripts, test jigs and CI, with exit codes per failure and JSON Lines output.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
# Libraries found by dpkg-shlibdeps in the binaries (Qt, pugixml, libcrypto, libstdc++).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Tab completion needs the bash-completion helpers; fonts for the window's text.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "bash-completion")
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-dejavu-core | fonts-liberation2")
include(CPack)
