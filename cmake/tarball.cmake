# kestrig_tarball(output directory transform list): packs the paths listed in
# the file `list` (one a line, relative to `directory`, each folder listed
# before what it holds) into the gzipped tarball `output`, renamed by the tar
# transform `transform`. Each member is owned by root, 0644 or 0755 (0755 for
# folders and programs), in the order listed; with SOURCE_DATE_EPOCH set,
# that is every member's time and the gzip header holds none. The same files
# then give the same bytes from any folder, user, umask, time zone and locale.
function(kestrig_tarball output directory transform list)
  set(times)
  if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(times "--mtime=@$ENV{SOURCE_DATE_EPOCH}")
  endif()
  execute_process(
    COMMAND tar --create --format=gnu --file=- --directory=${directory} --no-recursion
            --transform=${transform} --owner=0 --group=0 --numeric-owner --mode=u=rwX,go=rX
            ${times} --verbatim-files-from --files-from=${list}
    COMMAND gzip -9n
    OUTPUT_FILE "${output}"
    COMMAND_ERROR_IS_FATAL ANY)
endfunction()
