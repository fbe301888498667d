# kestrig_strip(strip binary): strips the program `binary` with the binutils
# `strip` of its target, of its symbols and of the .comment and .note
# sections, which an installed program never needs.
function(kestrig_strip strip binary)
  execute_process(
    COMMAND "${strip}" --strip-unneeded --remove-section=.comment --remove-section=.note
            "${binary}"
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()
