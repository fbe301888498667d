# Run by `cmake --build build --target release`, with `cpack` and `binary`
# (the build folder) set: makes the source tarball, the .deb and the .rpm,
# and puts them into release/ with a SHA256SUMS over them that
# `sha256sum -c` accepts. With SOURCE_DATE_EPOCH set, all of it comes out the
# same byte for byte.
set(work "${binary}/_release")
set(release "${binary}/release")
file(REMOVE_RECURSE "${work}" "${release}")
file(MAKE_DIRECTORY "${release}")
execute_process(COMMAND "${cpack}" --config CPackSourceConfig.cmake -B "${work}"
                WORKING_DIRECTORY "${binary}" COMMAND_ERROR_IS_FATAL ANY)
execute_process(COMMAND "${cpack}" --config CPackConfig.cmake -G "DEB;RPM" -B "${work}"
                WORKING_DIRECTORY "${binary}" COMMAND_ERROR_IS_FATAL ANY)
file(GLOB packages RELATIVE "${work}" "${work}/*.tar.gz" "${work}/*.deb" "${work}/*.rpm")
list(SORT packages)
set(sums "")
foreach(package IN LISTS packages)
  file(COPY_FILE "${work}/${package}" "${release}/${package}")
  file(SHA256 "${release}/${package}" sum)
  string(APPEND sums "${sum}  ${package}\n")
endforeach()
file(WRITE "${release}/SHA256SUMS" "${sums}")
file(REMOVE_RECURSE "${work}")
message(STATUS "Release in ${release}: ${packages}")
