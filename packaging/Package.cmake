# A Debian package from the install rules: `cpack -G DEB` in the build folder. The package
# installs under /usr; the files that name installed paths (desktop entry, systemd unit) are
# written during the package's install with that prefix, so the install runs with DESTDIR.
set(CPACK_PACKAGE_NAME zorvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Zorvo")
set(CPACK_PACKAGE_CONTACT "Zorvo developers <zorvo@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Peer-to-peer voice calls between two computers")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Zorvo holds spoken calls between two computers over the Internet or a local network: "
    "compressed speech goes peer to peer as UDP datagrams. The package holds the desktop client "
    "Zorvo, the headless caller zorvo-call and the directory service zorvo-directory with its "
    "systemd unit.")
set(CPACK_GENERATOR DEB)
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Dependencies from the programs' and libraries' own links (dpkg-shlibdeps); the package's own
# libraries are found in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_LIBRARY_OUTPUT_DIRECTORY})
include(CPack)
