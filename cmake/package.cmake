# The Debian package: `cpack --config build/CPackConfig.cmake -G DEB` (scripts/package.sh runs
# it after a release build). Dependencies come from dpkg-shlibdeps on the installed binaries.
set(CPACK_PACKAGE_NAME tessary)
set(CPACK_PACKAGE_VENDOR "The Tessary developers")
set(CPACK_PACKAGE_CONTACT "The Tessary developers <maintainers@tessary.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "manager for RD door-access key controllers")
# The long description: lines under 80 characters.
set(CPACK_PACKAGE_DESCRIPTION
    "Tessary manages the key database of an RD family door-access key controller\n\
on a serial port: it keeps the keys in a .tsy text file, sends the controller\n\
one-shot commands, synchronizes the database into the controller's key memory\n\
and shows every controller report in a live log. The service tessaryd serves\n\
the site's controllers around the clock to local clients on a Unix socket.\n\
A simulated controller, tessary-sim, is included for trying it without\n\
hardware.")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://tessary.org/")
set(CPACK_PACKAGE_INSTALL_DIRECTORY tessary)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Opening the manual hands it to the desktop's viewer.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
# Desktop database, MIME and icon caches are refreshed by the triggers of the packages that own
# them; nothing of our own runs at install time.

# What every Debian package carries: its changelog and copyright (the compressed manual pages
# come from man/).
set(changelog_gz ${CMAKE_BINARY_DIR}/packaging/changelog.Debian.gz)
add_custom_command(OUTPUT ${changelog_gz}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/packaging
  COMMAND gzip -9n -c ${PROJECT_SOURCE_DIR}/packaging/debian/changelog > ${changelog_gz}
  DEPENDS ${PROJECT_SOURCE_DIR}/packaging/debian/changelog
  COMMENT "Compressing the changelog")
add_custom_target(tessary_package_docs ALL DEPENDS ${changelog_gz})
install(FILES ${PROJECT_SOURCE_DIR}/packaging/debian/copyright ${changelog_gz}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

include(CPack)
