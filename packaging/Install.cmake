# Where "cmake --install" puts the program and its files, and the Debian package that
# "cpack -G DEB" makes from the same rules. Nothing in the program depends on the prefix:
# resources are compiled in and the help pages are found relative to the program file.

include(GNUInstallDirs)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)
set(KESTREL_PACKAGING_DIR ${CMAKE_SOURCE_DIR}/packaging)
set(KESTREL_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/kestrel)

install(TARGETS kestrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Help pages: <prefix>/share/kestrel/help, where the program looks beside its bin folder.
install(DIRECTORY ${CMAKE_SOURCE_DIR}/resources/help/ DESTINATION ${CMAKE_INSTALL_DATADIR}/kestrel/help OPTIONAL)

# The icon in the sizes of the hicolor theme, rendered from the program's icon art (the
# largest of the pictures found; a picture of one size exactly is taken as it is).
find_program(KESTREL_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
find_program(KESTREL_PYTHON python3)
# The pictures of the program's icon that the hicolor sizes are rendered from: the skin
# script's marks. A plain variable, so an older build folder's cache cannot point elsewhere.
set(KESTREL_ICON_ART_GLOB "${CMAKE_SOURCE_DIR}/resources/skin/icon128-*.png")
file(GLOB KESTREL_ICON_ART CONFIGURE_DEPENDS ${KESTREL_ICON_ART_GLOB})
if(KESTREL_ICON_ART)
  set(icon_dir ${CMAKE_BINARY_DIR}/icons/hicolor)
  add_custom_command(
    OUTPUT ${icon_dir}/256x256/apps/kestrel.png
    COMMAND ${KESTREL_PYTHON} ${CMAKE_SOURCE_DIR}/scripts/make-icons.py ${icon_dir} ${KESTREL_ICON_ART}
    DEPENDS ${CMAKE_SOURCE_DIR}/scripts/make-icons.py ${KESTREL_ICON_ART}
    COMMENT "Rendering the icon sizes")
  add_custom_target(kestrel_icons ALL DEPENDS ${icon_dir}/256x256/apps/kestrel.png)
  install(DIRECTORY ${icon_dir}/ DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor)
else()
  message(STATUS "No icon art matches ${KESTREL_ICON_ART_GLOB}: the package has no icon")
endif()

install(FILES ${KESTREL_PACKAGING_DIR}/net.velmora.Kestrel.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${KESTREL_PACKAGING_DIR}/net.velmora.Kestrel.metainfo.xml DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# Compressed without a time stamp, as Debian's tools expect. The package is native (its
# version has no Debian revision), so its changelog is "changelog.gz".
foreach(item "kestrel.1;kestrel.1.gz" "debian/changelog;changelog.gz")
  list(GET item 0 source)
  list(GET item 1 target)
  string(REGEX REPLACE "\\.gz$" "" plain ${target})
  add_custom_command(
    OUTPUT ${CMAKE_BINARY_DIR}/packaging/${target}
    COMMAND ${CMAKE_COMMAND} -E copy ${KESTREL_PACKAGING_DIR}/${source} ${CMAKE_BINARY_DIR}/packaging/${plain}
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/packaging/${plain}
    DEPENDS ${KESTREL_PACKAGING_DIR}/${source})
  list(APPEND KESTREL_COMPRESSED ${CMAKE_BINARY_DIR}/packaging/${target})
endforeach()
add_custom_target(kestrel_packaging_files ALL DEPENDS ${KESTREL_COMPRESSED})
install(FILES ${CMAKE_BINARY_DIR}/packaging/kestrel.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_BINARY_DIR}/packaging/changelog.gz ${KESTREL_PACKAGING_DIR}/debian/copyright
        DESTINATION ${KESTREL_DOC_DIR})

# systemd: the owner's user unit, the system unit and the template for more cameras.
install(FILES ${KESTREL_PACKAGING_DIR}/systemd/kestrel.service ${KESTREL_PACKAGING_DIR}/systemd/kestrel@.service
        DESTINATION lib/systemd/system)
install(FILES ${KESTREL_PACKAGING_DIR}/systemd/user/kestrel.service DESTINATION lib/systemd/user)

# fail2ban: the filter for the picture password lockout lines, where fail2ban reads its
# filters (whatever the prefix; a conffile of the package), and a jail to start from.
install(FILES ${KESTREL_PACKAGING_DIR}/fail2ban/kestrel.conf DESTINATION /etc/fail2ban/filter.d)
install(FILES ${KESTREL_PACKAGING_DIR}/fail2ban/kestrel-jail.conf DESTINATION ${KESTREL_DOC_DIR}/examples)

# The Debian package. Library dependencies come from dpkg-shlibdeps; the rest are what
# the program uses at run time without linking it.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kestrel)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrel developers")
set(CPACK_PACKAGE_CONTACT "Kestrel maintainers <maintainers@users.noreply.c-seed-c42a6dbf.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "live-camera web site with its own web server")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Kestrel turns a PC with a camera into a small live-camera web site. It
grabs pictures from a V4L2 camera, lays captions with the date, the time
and the number of viewers over them, encodes them as JPEG and serves them
with generated viewer pages from its own HTTP/1.0 server. It keeps daily
hit logs, snaps a picture when something moves, and runs with its
Japanese window or as a system service without a display.")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-translations-l10n, fonts-ipafont-gothic, media-types, xdg-utils, adduser")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KESTREL_PACKAGING_DIR}/debian/postinst ${KESTREL_PACKAGING_DIR}/debian/prerm
                                       ${KESTREL_PACKAGING_DIR}/debian/postrm ${KESTREL_PACKAGING_DIR}/debian/conffiles)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
include(CPack)
