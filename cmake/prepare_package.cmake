# Run by CPack before it packs the staged files. The .deb of a static build
# gets its lintian overrides, which say why the program needs no library.
# Then every folder gets mode 0755: CPack makes the topmost ones itself, and
# the umask of whoever builds the package would cut their mode (to 0700 with
# umask 077) and so change its bytes. Last, the binary is stripped.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_KESTRIG_LINTIAN_OVERRIDES)
  set(overrides "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/usr/share/lintian/overrides")
  file(MAKE_DIRECTORY "${overrides}")
  file(COPY_FILE "${CPACK_KESTRIG_LINTIAN_OVERRIDES}" "${overrides}/kestrig")
  file(CHMOD "${overrides}/kestrig" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

file(GLOB_RECURSE folders LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(folder IN LISTS folders)
  if(IS_DIRECTORY "${folder}" AND NOT IS_SYMLINK "${folder}")
    file(CHMOD "${folder}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()

include(${CMAKE_CURRENT_LIST_DIR}/strip.cmake)
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(binary IN LISTS binaries)
  kestrig_strip("${CPACK_KESTRIG_STRIP}" "${binary}")
endforeach()

# With SOURCE_DATE_EPOCH set, every staged file and folder gets its time:
# rpm clamps only times later than it, so a package built before that date
# (a changelog dated later in the day) would carry the build's own times.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  execute_process(COMMAND find . -exec touch -h -d @$ENV{SOURCE_DATE_EPOCH} {} +
                  WORKING_DIRECTORY "${CPACK_TEMPORARY_INSTALL_DIRECTORY}" COMMAND_ERROR_IS_FATAL ANY)
endif()
