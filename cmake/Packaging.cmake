# The manual pages and the Debian package (`cpack -G DEB` in the build folder).
# Included after the install() rules of the top CMakeLists.txt, whose PAVONIX_TOOLS
# names the tools that get a page each.

# Manual pages, gzipped at build time as Debian installs them. -n keeps the file name
# and time out of the gzip header, so an unchanged page gives the same bytes.
set(PAVONIX_MAN_PAGES pavonix ${PAVONIX_TOOLS})
set(man_outputs "")
foreach(page IN LISTS PAVONIX_MAN_PAGES)
  set(src ${CMAKE_SOURCE_DIR}/docs/man/${page}.1)
  if(NOT EXISTS ${src})
    message(WARNING "${page} has no manual page: docs/man/${page}.1 is missing")
    continue()
  endif()
  set(out ${CMAKE_BINARY_DIR}/man/${page}.1.gz)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND gzip -9 -n -c ${src} > ${out}
    DEPENDS ${src}
    COMMENT "Compressing manual page ${page}.1"
    VERBATIM)
  list(APPEND man_outputs ${out})
endforeach()
add_custom_target(pavonix_man ALL DEPENDS ${man_outputs})
install(FILES ${man_outputs} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The package. Its library dependencies come from dpkg-shlibdeps, which maps every
# shared library the installed programs link to the Debian package that ships it, with
# the version the build saw as the minimum; so the list follows what we link. Nothing
# is run at run time that is not a linked library (the GL driver arrives through
# libgl1's own dependencies), so no dependency is written by hand.
set(PAVONIX_PACKAGE_MAINTAINER "Pavonix maintainers <maintainers@users.noreply.c-seed-a347b62a.example>"
    CACHE STRING "Maintainer field of the Debian package")
set(PAVONIX_PACKAGE_HOMEPAGE "" CACHE STRING "Homepage field of the Debian package (left out when empty)")

set(CPACK_PACKAGE_NAME pavonix)
set(CPACK_PACKAGE_VENDOR "Pavonix")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "augmented-reality viewer for animated PMD/PMX characters")
set(CPACK_PACKAGE_CONTACT ${PAVONIX_PACKAGE_MAINTAINER})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)  # the build keeps its debugging information; the package need not
set(CPACK_GENERATOR DEB)
# cpack packs what has been built (the README builds first): without this its
# "preinstall" step would build every target, the test suites and benchmarks included.
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)

set(CPACK_DEBIAN_PACKAGE_NAME pavonix)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)  # pavonix_<version>_<arch>.deb
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${PAVONIX_PACKAGE_MAINTAINER})
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
if(PAVONIX_PACKAGE_HOMEPAGE)
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${PAVONIX_PACKAGE_HOMEPAGE})
endif()
# The long description under the summary line; cpack indents it for the control file
# and turns the empty line into a paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "A webcam watches a printed square marker; every camera frame becomes the
window's background, the marker is found and its pose computed, and one or two
animated 3D characters (PMD/PMX models playing VMD motions) stand on it, lit,
with a shadow on the table and loose parts swinging under physics. Screenshots
and recordings (MP4, Matroska, AVI) keep the song that plays.

Without a camera a virtual camera looks at the marker. The package holds the
viewer, a demo character with its dance, the marker to print, a default
calibration and the command-line tools that track markers in images and
videos, inspect models and motions and make the data files.")

include(CPack)
