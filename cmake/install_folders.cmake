# Run at install time, before anything is installed: makes each folder in
# kestrig_folders (below the install prefix, and under DESTDIR) that does not
# exist yet, one level at a time, and gives it mode 0755. CMake's own folder
# permissions go through mkdir, which the installer's umask still cuts; with
# umask 077 the folders would be root's alone. Existing folders stay as they
# are. The folders in kestrig_own_folders, which hold the tool's files alone,
# are listed in install_manifest.txt as the files are (without DESTDIR), on
# every install, whether made now or by an install before: an uninstall that
# goes through the list sorted backwards removes them once their files are
# gone. Folders that other programs share (bin, share/man/man1, share/doc)
# are never listed, even when this install made them.
foreach(folder IN LISTS kestrig_folders)
  cmake_path(APPEND CMAKE_INSTALL_PREFIX "${folder}" OUTPUT_VARIABLE target)
  cmake_path(ABSOLUTE_PATH target NORMALIZE)
  set(path "")
  string(REPLACE "/" ";" parts "${target}")
  foreach(part IN LISTS parts)
    if(part STREQUAL "")
      continue()
    endif()
    string(APPEND path "/${part}")
    if(NOT EXISTS "$ENV{DESTDIR}${path}")
      file(MAKE_DIRECTORY "$ENV{DESTDIR}${path}")
      file(CHMOD "$ENV{DESTDIR}${path}" PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
           GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
    endif()
  endforeach()
endforeach()
foreach(folder IN LISTS kestrig_own_folders)
  cmake_path(APPEND CMAKE_INSTALL_PREFIX "${folder}" OUTPUT_VARIABLE target)
  cmake_path(ABSOLUTE_PATH target NORMALIZE)
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${target}")
endforeach()
