# Run by CPack once it has made the package. The members of a .deb's outer ar
# archive take their mode from the files CPack packed them from, which the
# umask of whoever builds it sets (0600 with umask 077): give each the 0644
# dpkg-deb gives, so that the package's bytes do not depend on the umask.
foreach(package IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package MATCHES "\\.deb$")
    continue()
  endif()
  file(SIZE "${package}" end)
  set(at 8)  # past "!<arch>\n"; then a 60-byte header a member, data padded to even
  while(at LESS end)
    file(READ "${package}" header OFFSET ${at} LIMIT 60)
    string(SUBSTRING "${header}" 48 10 size)
    string(STRIP "${size}" size)
    math(EXPR mode_at "${at} + 40")
    execute_process(
      COMMAND printf "%-8s" 100644
      COMMAND dd "of=${package}" bs=1 seek=${mode_at} conv=notrunc status=none
      COMMAND_ERROR_IS_FATAL ANY)
    math(EXPR at "${at} + 60 + ${size} + ${size} % 2")
  endwhile()
endforeach()
