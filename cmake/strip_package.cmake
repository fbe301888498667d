# Run by CPack before it packs: strips the staged binary of its symbols and
# of the .comment and .note sections, which an installed program never needs.
file(GLOB_RECURSE binaries "${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*/bin/*")
foreach(binary IN LISTS binaries)
  execute_process(
    COMMAND "${CPACK_KESTRIG_STRIP}" --strip-unneeded --remove-section=.comment
            --remove-section=.note "${binary}"
    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
