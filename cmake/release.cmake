# Run by `cmake --build build --target release`, with cpack, binary (the build
# folder), source, version, generator and host (this machine's processor)
# set. Builds the tool statically for each architecture below with its
# toolchain file, and puts into release/, with a SHA256SUMS over them that
# `sha256sum -c` accepts:
# - kestrig-<version>.tar.gz, the source tarball;
# - kestrig-<version>-linux-<arch>.tar.gz for each architecture, the files
#   an install puts below its prefix, below kestrig-<version>-linux-<arch>/;
# - a .deb and an .rpm for each architecture, made by CPack in its build
#   (kestrig_<version>_arm64.deb, kestrig-<version>-1.aarch64.rpm), so that
#   they run on any Linux of that architecture whatever its C library.
# With SOURCE_DATE_EPOCH set, all of it comes out the same byte for byte.
include(${CMAKE_CURRENT_LIST_DIR}/strip.cmake)
include(${CMAKE_CURRENT_LIST_DIR}/tarball.cmake)

# Debian's names for the architectures, and the triples of their compilers.
set(architectures amd64 arm64 armhf i386 ppc64el riscv64 s390x)
set(triples x86_64-linux-gnu aarch64-linux-gnu arm-linux-gnueabihf i686-linux-gnu
    powerpc64le-linux-gnu riscv64-linux-gnu s390x-linux-gnu)

# Every compiler is looked for before anything is built.
set(missing)
foreach(triple IN LISTS triples)
  find_program(compiler_${triple} ${triple}-g++)
  if(NOT compiler_${triple})
    if(triple MATCHES "^${host}-")
      list(APPEND missing g++)  # this machine's own compiler
    else()
      string(REPLACE "_" "-" package "g++-${triple}")
      list(APPEND missing ${package})
    endif()
  endif()
endforeach()
if(missing)
  list(JOIN missing " " missing)
  message(FATAL_ERROR "The release needs a compiler for each architecture: "
                      "apt-get install ${missing}")
endif()

set(work "${binary}/_release")
set(release "${binary}/release")
file(REMOVE_RECURSE "${work}" "${release}")
file(MAKE_DIRECTORY "${work}/stage" "${release}")
cmake_host_system_information(RESULT jobs QUERY NUMBER_OF_LOGICAL_CORES)
foreach(arch triple IN ZIP_LISTS architectures triples)
  message(STATUS "Building the static ${arch} binary")
  set(build "${work}/${arch}")
  set(name kestrig-${version}-linux-${arch})
  set(prefix "${work}/stage/${name}")
  execute_process(
    COMMAND "${CMAKE_COMMAND}" -S "${source}" -B "${build}" -G "${generator}"
            "-DCMAKE_TOOLCHAIN_FILE=${source}/cmake/${triple}.cmake"
            -DCMAKE_BUILD_TYPE=Release -DKESTRIG_TESTS=OFF
    OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${CMAKE_COMMAND}" --build "${build}" --parallel ${jobs}
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  execute_process(COMMAND "${CMAKE_COMMAND}" --install "${build}" --prefix "${prefix}"
                  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(STRINGS "${build}/CMakeCache.txt" strip REGEX "^CMAKE_STRIP:")
  string(REGEX REPLACE "^[^=]*=" "" strip "${strip}")
  kestrig_strip("${strip}" "${prefix}/bin/kestrig")
  # The top folder, then each folder before what it holds.
  file(GLOB_RECURSE members RELATIVE "${work}/stage" LIST_DIRECTORIES true "${prefix}/*")
  list(APPEND members ${name})
  list(SORT members)
  list(JOIN members "\n" lines)
  file(WRITE "${work}/${name}.list" "${lines}\n")
  kestrig_tarball("${work}/${name}.tar.gz" "${work}/stage" "s|^||" "${work}/${name}.list")
  # The packages of the same build, each made in a folder of its own.
  execute_process(COMMAND "${cpack}" --config CPackConfig.cmake -G "DEB;RPM" -B "${build}/packages"
                  WORKING_DIRECTORY "${build}" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  file(GLOB made "${build}/packages/*.deb" "${build}/packages/*.rpm")
  file(COPY ${made} DESTINATION "${work}")
endforeach()
execute_process(COMMAND "${cpack}" --config CPackSourceConfig.cmake -B "${work}"
                WORKING_DIRECTORY "${binary}" OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)

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
list(JOIN packages "\n   " listed)
message(STATUS "Release in ${release}:\n   ${listed}")
