# What makes quillbarrow.exe and quillbarrow.com look like Windows programs:
# the icon the Linux package ships, drawn at every size Windows asks for
# into one .ico (packaging/make_art.py), the application manifest
# (packaging/windows/quillbarrow.manifest.in) and the version Explorer shows
# (packaging/windows/quillbarrow.rc.in), compiled by windres.

find_program(QB_PYTHON3 python3 REQUIRED)
set(QB_WINDOWS_ICON ${CMAKE_BINARY_DIR}/windows/quillbarrow.ico)
add_custom_command(OUTPUT ${QB_WINDOWS_ICON}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/windows
  COMMAND ${QB_PYTHON3} ${CMAKE_SOURCE_DIR}/packaging/make_art.py --windows-icon ${QB_WINDOWS_ICON}
  DEPENDS ${CMAKE_SOURCE_DIR}/packaging/make_art.py
  COMMENT "Drawing the Windows icon")
add_custom_target(qb_windows_icon DEPENDS ${QB_WINDOWS_ICON})

# A toolchain that links a default manifest (default-manifest.o, as MSYS2's
# does) would give the program a second one: an empty object of that name,
# found first through -B, keeps it out.
set(_qb_no_manifest ${CMAKE_BINARY_DIR}/windows/no-default-manifest)
if(NOT EXISTS ${_qb_no_manifest}/default-manifest.o)
  file(MAKE_DIRECTORY ${_qb_no_manifest})
  file(WRITE ${_qb_no_manifest}/empty.c "")
  execute_process(COMMAND ${CMAKE_C_COMPILER} -c ${_qb_no_manifest}/empty.c
                          -o ${_qb_no_manifest}/default-manifest.o
                  RESULT_VARIABLE _qb_failed)
  if(_qb_failed)
    message(FATAL_ERROR "Could not compile ${_qb_no_manifest}/default-manifest.o")
  endif()
endif()

# Gives `target` (written as `file_name`) the icon, a manifest and version
# information that says `description`.
function(qb_windows_resources target file_name description)
  set(QB_RC_FILENAME ${file_name})
  set(QB_RC_DESCRIPTION ${description})
  set(QB_RC_ICON ${QB_WINDOWS_ICON})
  string(REPLACE "." "-" _name ${file_name})
  set(QB_RC_ASSEMBLY Kestrawin.Quillbarrow.${_name})
  set(_v ${PROJECT_VERSION_MAJOR} ${PROJECT_VERSION_MINOR} ${PROJECT_VERSION_PATCH} 0)
  list(TRANSFORM _v REPLACE "^$" "0")
  list(JOIN _v "." QB_RC_VERSION_DOTS)
  list(JOIN _v "," QB_RC_VERSION_COMMAS)
  set(_dir ${CMAKE_BINARY_DIR}/windows/${_name})
  set(QB_RC_MANIFEST ${_dir}/quillbarrow.manifest)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/quillbarrow.manifest.in ${QB_RC_MANIFEST} @ONLY)
  configure_file(${CMAKE_SOURCE_DIR}/packaging/windows/quillbarrow.rc.in ${_dir}/quillbarrow.rc @ONLY)
  # windres reads the icon and the manifest itself: CMake does not see them.
  set_source_files_properties(${_dir}/quillbarrow.rc PROPERTIES
    OBJECT_DEPENDS "${QB_WINDOWS_ICON};${QB_RC_MANIFEST}")
  target_sources(${target} PRIVATE ${_dir}/quillbarrow.rc)
  add_dependencies(${target} qb_windows_icon)
  target_link_options(${target} PRIVATE -B${_qb_no_manifest}/)
endfunction()
