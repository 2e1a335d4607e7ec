# The Debian package: `make package` (cpack -G DEB in the build folder) gives
# quorvane-updater_<version>_<arch>.deb with everything `cmake --install` puts
# in place. Its dependencies are worked out by dpkg-shlibdeps (package
# dpkg-dev) from the libraries the programs are linked with, and the Qt
# platform plugins are added. scripts/check-package (run by `make package`)
# installs the package, runs both programs from it and removes it again.
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
# dpkg-shlibdeps adds the libraries the programs link to these. Qt loads its
# platform plugins at run time, which dpkg-shlibdeps cannot see, and Qt's own
# packages only recommend them: without them the window does not open after
# `apt-get install --no-install-recommends`.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins")
# The trust store is what https update servers are checked against.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ca-certificates")

# What a user of the package reads first, and the copyright file Debian asks for.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION share/doc/quorvane-updater)
install(FILES ${PROJECT_SOURCE_DIR}/res/copyright DESTINATION share/doc/quorvane-updater)

# The manual pages, installed gzipped as Debian wants them (-n: no name or
# time stamp in the archive, so that builds are reproducible).
find_program(QVN_GZIP gzip REQUIRED)
set(qvn_man_pages)
foreach(page qvnupdate.1 qvnpack.1)
  add_custom_command(
    OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/man
    COMMAND ${QVN_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/man/${page} > ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}
    VERBATIM)
  list(APPEND qvn_man_pages ${CMAKE_CURRENT_BINARY_DIR}/man/${page}.gz)
endforeach()
add_custom_target(qvn_man_pages ALL DEPENDS ${qvn_man_pages})
install(FILES ${qvn_man_pages} DESTINATION share/man/man1)

include(CPack)
