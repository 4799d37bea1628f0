# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package (cpack -G DEB, see scripts/package.sh): the viewer, its tools, the desktop
# entry, the icon at the usual hicolor sizes, the AppStream metainfo, the manual pages and the
# package's copyright and changelog, all from `cmake --install`.
include(GNUInstallDirs)

set(ROADEYE_HOMEPAGE "https://github.com/roadeye/roadeye")
set(ROADEYE_MAINTAINER "Roadeye maintainers <maintainers@users.noreply.c-seed-3bccca2b.example>")

set(pkg_dir ${CMAKE_BINARY_DIR}/package-data)
set(pkg_outputs)

# The icon at each usual size, drawn from the SVG with rsvg-convert (librsvg2-bin).
find_program(RSVG_CONVERT rsvg-convert)
if(RSVG_CONVERT)
  foreach(size 16 24 32 48 64 128 256)
    set(png ${pkg_dir}/icons/${size}x${size}/roadeye.png)
    add_custom_command(OUTPUT ${png}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${pkg_dir}/icons/${size}x${size}
      COMMAND ${RSVG_CONVERT} -w ${size} -h ${size} -o ${png} ${PROJECT_SOURCE_DIR}/resources/roadeye.svg
      DEPENDS ${PROJECT_SOURCE_DIR}/resources/roadeye.svg VERBATIM)
    list(APPEND pkg_outputs ${png})
    install(FILES ${png} DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
  endforeach()
else()
  message(STATUS "rsvg-convert not found (librsvg2-bin): the PNG icons are not installed")
endif()

# The manual pages, compressed the way Debian ships them (gzip -9n: no name, no time stamp).
find_program(GZIP gzip REQUIRED)
foreach(page roadeye roadeye-convert roadeye-mkcard roadeye-vexdump)
  set(gz ${pkg_dir}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${gz}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${pkg_dir}/man
    COMMAND sh -c "${GZIP} -9n -c \"$0\" > \"$1\"" ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 ${gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/man/${page}.1 VERBATIM)
  list(APPEND pkg_outputs ${gz})
  install(FILES ${gz} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()

# The package's copyright file and its changelog (a native package's, compressed).
configure_file(${PROJECT_SOURCE_DIR}/cmake/copyright.in ${pkg_dir}/copyright @ONLY)
configure_file(${PROJECT_SOURCE_DIR}/cmake/changelog.in ${pkg_dir}/changelog @ONLY)
add_custom_command(OUTPUT ${pkg_dir}/changelog.gz
  COMMAND sh -c "${GZIP} -9n -c \"$0\" > \"$1\"" ${pkg_dir}/changelog ${pkg_dir}/changelog.gz
  DEPENDS ${pkg_dir}/changelog VERBATIM)
list(APPEND pkg_outputs ${pkg_dir}/changelog.gz)
install(FILES ${pkg_dir}/copyright ${pkg_dir}/changelog.gz
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/roadeye)

install(FILES ${PROJECT_SOURCE_DIR}/resources/roadeye.metainfo.xml
  DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

add_custom_target(roadeye_package_data ALL DEPENDS ${pkg_outputs})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME roadeye)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${ROADEYE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "viewer for a two-camera dash camera's memory card")
set(CPACK_PACKAGE_DESCRIPTION
  "Roadeye plays the recordings of a two-camera car dash camera's memory card:
the front and rear pictures side by side with the sound, the drive's route and
position on a map, the speed and the G-sensor's jolts. It saves snapshots,
exports evidence clips with their GPS track and checksums, downloads
recordings as AVI files and edits the camera's settings on the card.
.
The package also holds roadeye-convert (recordings to AVI, GPX, KML and SRT
files), roadeye-mkcard (writes a demonstration card) and roadeye-vexdump
(lists a card's recordings and extracts their streams).")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${ROADEYE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${ROADEYE_HOMEPAGE})
# The libraries' packages come from dpkg-shlibdeps; the map page loads Leaflet from
# /usr/share/javascript/leaflet (libjs-leaflet); the Korean interface is drawn with Nanum.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-nanum, libjs-leaflet")
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
