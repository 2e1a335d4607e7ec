# The Debian package: `make package` (cpack -G DEB in the build folder) gives
# quorvane-updater_<version>_<arch>.deb with everything `cmake --install` puts
# in place. Its dependencies are worked out by dpkg-shlibdeps (package
# dpkg-dev) from the libraries the programs are linked with.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "quorvane-updater")
set(CPACK_PACKAGE_VENDOR "Quorvane")
set(CPACK_PACKAGE_CONTACT "Quorvane maintainers <maintainers@quorvane.example>")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps a Quorvane installation up to date from an update server")
set(CPACK_PACKAGE_DESCRIPTION
    "qvnupdate fetches the update manifest from the update server, compares its
version with the installed Quorvane.exe, and downloads, expands and replaces
the files of a newer release, in a window or on the console.
qvnpack is the publisher's side: it builds, checks and serves update
directories and works with the compressed (.crz) file format.")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "utils")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Both programs link only shared libraries that dpkg-shlibdeps knows; the
# trust store is what https update servers are checked against.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")

# What a user of the package reads first.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/quorvane-updater)

include(CPack)
