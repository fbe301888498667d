# Run by CPack before it packs the staged files. Gives every folder mode
# 0755: CPack makes the topmost ones itself, and the umask of whoever builds
# the package would cut their mode (to 0700 with umask 077) and so change its
# bytes. Then strips the binary of its symbols and of the .comment and .note
# sections, which an installed program never needs.
file(GLOB_RECURSE folders LIST_DIRECTORIES true "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*")
foreach(folder IN LISTS folders)
  if(IS_DIRECTORY "${folder}" AND NOT IS_SYMLINK "${folder}")
    file(CHMOD "${folder}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
         GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
  endif()
endforeach()

file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(binary IN LISTS binaries)
  execute_process(
    COMMAND "${CPACK_KESTRIG_STRIP}" --strip-unneeded --remove-section=.comment
            --remove-section=.note "${binary}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
