# Run by CPack once it has made a package; acts on the source package alone,
# kestrig-<version>.tar.gz, which it packs anew: CPack would take every file
# of the tree not ignored, with the owner, order and modes it finds on disk.
# In a git work tree it packs the files git tracks; in an unpacked tarball,
# every file but those of build folders (any folder that holds a
# CMakeCache.txt). Each goes below the top folder kestrig-<version>/, sorted
# by name, as kestrig_tarball packs it: the same tree gives the same bytes.
if(NOT CPACK_INSTALLED_DIRECTORIES)  # set for the source package only
  return()
endif()
set(source "${CPACK_KESTRIG_SOURCE_DIR}")
set(name "${CPACK_PACKAGE_FILE_NAME}")
set(list "${CPACK_TOPLEVEL_DIRECTORY}/source_files")
if(EXISTS "${source}/.git")
  # Sorted by byte value, one a line.
  execute_process(COMMAND git -C "${source}" -c core.quotePath=false ls-files
                  OUTPUT_FILE "${list}" COMMAND_ERROR_IS_FATAL ANY)
else()
  file(GLOB_RECURSE files RELATIVE "${source}" "${source}/*")
  file(GLOB_RECURSE caches RELATIVE "${source}" "${source}/CMakeCache.txt")
  foreach(cache IN LISTS caches)
    get_filename_component(build "${cache}" DIRECTORY)
    string(REGEX REPLACE "([][+.*()^$?|\\])" "\\\\\\1" build "${build}")
    list(FILTER files EXCLUDE REGEX "^${build}/")
  endforeach()
  list(SORT files)
  list(JOIN files "\n" lines)
  file(WRITE "${list}" "${lines}\n")
endif()

include(${CMAKE_CURRENT_LIST_DIR}/tarball.cmake)
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(package MATCHES "/${name}\\.tar\\.gz$")
    kestrig_tarball("${package}" "${source}" "s|^|${name}/|" "${list}")
  endif()
endforeach()
