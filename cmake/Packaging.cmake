# The Debian package (`./quillbarrow.sh package`): CPack's DEB generator over
# the install rules. The version is the project's; the package's dependencies
# come from dpkg-shlibdeps over the installed binaries, plus the fonts the
# window's metrics are drawn for.

# The manual page, written in scdoc, compressed as Debian wants it.
find_program(SCDOC_EXECUTABLE scdoc)
find_program(GZIP_EXECUTABLE gzip)
if(SCDOC_EXECUTABLE AND GZIP_EXECUTABLE)
  set(_man ${CMAKE_BINARY_DIR}/man/quillbarrow.1)
  add_custom_command(OUTPUT ${_man}.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/man
    COMMAND ${SCDOC_EXECUTABLE} < ${CMAKE_SOURCE_DIR}/packaging/quillbarrow.1.scd > ${_man}
    COMMAND ${GZIP_EXECUTABLE} -9nf ${_man}
    DEPENDS ${CMAKE_SOURCE_DIR}/packaging/quillbarrow.1.scd
    COMMENT "Writing the manual page")
  add_custom_target(qb_manpage ALL DEPENDS ${_man}.gz)
  install(FILES ${_man}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
elseif(QB_PACKAGE)
  message(FATAL_ERROR "The package needs scdoc and gzip for its manual page")
endif()

if(NOT QB_PACKAGE)
  return()
endif()

set(_changelog ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_command(OUTPUT ${_changelog}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
  COMMAND ${GZIP_EXECUTABLE} -9nc ${CMAKE_SOURCE_DIR}/packaging/changelog > ${_changelog}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/changelog)
add_custom_target(qb_changelog ALL DEPENDS ${_changelog})
install(FILES packaging/copyright ${_changelog}
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/quillbarrow)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillbarrow)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Kestrawin)
set(CPACK_PACKAGE_CONTACT "Kestrawin <quillbarrow@kestrawin.example>")
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation")
# The file-manager action "Zip each folder separately" tells its outcome
# through notify-send.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libnotify-bin")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "zip each folder of a list into an archive of its own")
set(CPACK_PACKAGE_DESCRIPTION
"Quillbarrow turns every folder of a list into a ZIP archive of its own,
holding the folder under its own name with its files and sub-folders, hidden
items left out. Build the list in a window (one folder at a time, every
folder below a chosen one, or by dropping folders from a file manager), or
zip from a script with `quillbarrow --output DIR FOLDER...`, which needs no
display. Archives are written on every core and appear under their final
names only when complete.")
include(CPack)
