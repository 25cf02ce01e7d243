# Desktop integration and the Debian package, included by the top-level
# CMakeLists.txt after the install rules of the two programs and the manual.
#
#   share/applications/orvane.desktop        menu entry, opens .orp files
#   share/mime/packages/orvane.xml           the project file type (*.orp)
#   share/icons/hicolor/scalable/apps/orvane.svg
#   share/icons/hicolor/NxN/apps/orvane.png  rendered from the SVG (rsvg-convert)
#   share/man/man1/orvane.1.gz, orvane-cli.1.gz
#   share/doc/orvane/copyright, changelog.gz
#   share/doc-base/orvane                    the manual for doc-base (prefix /usr)
#
# The files made here belong to the target orvane_desktop_files (part of
# "all"); tools/package.sh builds it with the two programs and runs cpack.
#
# The preset "package" (CMakePresets.json, which takes no comments) builds
# with -O2 rather than CMake's -O3: GCC 12 reports false -Wrestrict warnings
# inside std::string at -O3, and CI builds with -Werror. It adds the hardening
# flags Debian builds its own packages with (fortify, stack protector, full
# RELRO), which lintian looks for.

set(_orvane_pkg_src ${CMAKE_CURRENT_LIST_DIR})
set(_orvane_pkg_out ${CMAKE_BINARY_DIR}/packaging)
set(_orvane_icon_svg ${PROJECT_SOURCE_DIR}/ui/resources/icons/orvane.svg)
set(_orvane_generated)

install(FILES ${_orvane_pkg_src}/orvane.desktop DESTINATION share/applications)
install(FILES ${_orvane_pkg_src}/orvane.xml DESTINATION share/mime/packages)
install(FILES ${_orvane_icon_svg} DESTINATION share/icons/hicolor/scalable/apps)
install(FILES ${_orvane_pkg_src}/copyright DESTINATION share/doc/orvane)
# Registers the manual with Debian's doc-base. Its paths name /usr, so only an
# installation there (the package) gets it; the prefix is the one in force when
# installing (cmake --install --prefix, cpack).
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    file(INSTALL DESTINATION \"\${CMAKE_INSTALL_PREFIX}/share/doc-base\" TYPE FILE
         RENAME orvane FILES \"${_orvane_pkg_src}/orvane.doc-base\")
  endif()")

# PNG icons for the sizes menus, docks and file managers ask for.
find_program(ORVANE_RSVG_CONVERT rsvg-convert)
if(ORVANE_RSVG_CONVERT)
  foreach(_size 16 32 48 64 128 256)
    set(_png ${_orvane_pkg_out}/icons/${_size}x${_size}/orvane.png)
    add_custom_command(
      OUTPUT ${_png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${_orvane_pkg_out}/icons/${_size}x${_size}
      COMMAND ${ORVANE_RSVG_CONVERT} --width ${_size} --height ${_size}
              --output ${_png} ${_orvane_icon_svg}
      DEPENDS ${_orvane_icon_svg}
      COMMENT "Rendering the ${_size}x${_size} icon"
      VERBATIM)
    list(APPEND _orvane_generated ${_png})
    install(FILES ${_png} DESTINATION share/icons/hicolor/${_size}x${_size}/apps)
  endforeach()
else()
  message(STATUS "rsvg-convert not found (Debian package librsvg2-bin): "
                 "only the scalable icon is installed")
endif()

# Files installed gzip-compressed (manual pages, the changelog): -9 for the
# best compression, -n so that the archive holds no name or time stamp.
find_program(ORVANE_GZIP gzip REQUIRED)
function(_orvane_gzip source output)
  get_filename_component(_dir ${output} DIRECTORY)
  string(REGEX REPLACE "\\.gz$" "" _plain ${output})
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${_dir}
    COMMAND ${CMAKE_COMMAND} -E copy ${source} ${_plain}
    COMMAND ${ORVANE_GZIP} -9 -n -f ${_plain}
    DEPENDS ${source}
    VERBATIM)
  set(_orvane_generated ${_orvane_generated} ${output} PARENT_SCOPE)
endfunction()

foreach(_page orvane.1 orvane-cli.1)
  _orvane_gzip(${_orvane_pkg_src}/${_page} ${_orvane_pkg_out}/man/${_page}.gz)
  install(FILES ${_orvane_pkg_out}/man/${_page}.gz DESTINATION share/man/man1)
endforeach()

# The changelog's newest entry carries the project's version. Its date is
# SOURCE_DATE_EPOCH when set (tools/package.sh sets it to the last commit's).
string(TIMESTAMP ORVANE_CHANGELOG_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
configure_file(${_orvane_pkg_src}/changelog.in ${_orvane_pkg_out}/changelog @ONLY)
_orvane_gzip(${_orvane_pkg_out}/changelog ${_orvane_pkg_out}/doc/changelog.gz)
install(FILES ${_orvane_pkg_out}/doc/changelog.gz DESTINATION share/doc/orvane)

add_custom_target(orvane_desktop_files ALL DEPENDS ${_orvane_generated})

# --- the Debian package (cpack -G DEB) -------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Tamsworth Software")
set(CPACK_PACKAGE_CONTACT "Tamsworth Software <support@tamsworth.example>")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://www.tamsworth.example/orvane/")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "check whether e-mail addresses can receive mail")
# Paragraphs are separated by an empty line; cpack turns them into " ." lines.
set(CPACK_PACKAGE_DESCRIPTION
    "Orvane finds out whether e-mail addresses can receive mail, without sending
any. It asks DNS for a domain's mail exchangers, opens an SMTP dialogue with
them up to RCPT TO (never DATA) and turns the replies into a verdict: valid,
invalid, catch-all or unknown, with each address's transaction log.

The package holds the desktop program, which keeps recipient lists in
project files (.orp), imports text, CSV and dBase lists and validates many
addresses at once, and orvane-cli, the command-line front end for checking
addresses, validating, importing and exporting projects in scripts.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # orvane_VERSION_ARCH.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_SECTION mail)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${CPACK_PACKAGE_HOMEPAGE_URL}")
# Depends: from the libraries the programs link (dpkg-shlibdeps): libc, libuv,
# libidn2 and the Qt 6 libraries, libQt6Svg (libqt6svg6) among them, since the
# artwork is drawn through QSvgRenderer. The xcb platform plugin ships with
# libqt6gui6, so nothing has to be added by hand.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_THREADS 0)  # compress with every core

include(CPack)
