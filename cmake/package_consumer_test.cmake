# Run by ctest (see PackageTest.cmake) with -P. Installs BUILD_DIR into a
# scratch prefix under WORK_DIR, builds examples/consumer against it through
# find_package and through pkg-config, and checks both programs list the
# corpus archives as Python's zipfile does. WORK_DIR is removed afterwards,
# also when a step fails.

set(prefix ${WORK_DIR}/prefix)
set(archives
  ${CORPUS_DIR}/zip/misc/libarchive/test_compat_zip_3.zip   # directory, deflated with descriptor
  ${CORPUS_DIR}/zip/misc/klauspost-compress/unix.zip)       # stored files, nested directory

macro(fail)
  file(REMOVE_RECURSE ${WORK_DIR})
  message(FATAL_ERROR ${ARGN})
endmacro()

# Runs a command; fails with its output unless it exits with 0. The output
# is left in `out`.
function(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE o ERROR_VARIABLE e)
  if(NOT rc EQUAL 0)
    fail("${what} failed (${rc}):\n${ARGN}\n${o}\n${e}")
  endif()
  set(out "${o}" PARENT_SCOPE)
endfunction()

# "size packed method name" per entry, the method reduced to Stored/Deflate
# so the oracle need not know our compression-level suffixes.
function(listing program archive)
  run("${program}" ${program} ${archive})
  string(REPLACE "\n" ";" lines "${out}")
  set(result "")
  foreach(line IN LISTS lines)
    if(line MATCHES "^ *([0-9]+) +([0-9]+)  ([^ ]+) +(.*)$")
      set(entry "${CMAKE_MATCH_1} ${CMAKE_MATCH_2}")
      set(method ${CMAKE_MATCH_3})
      set(name "${CMAKE_MATCH_4}")
      if(method MATCHES "^Deflate")
        set(method Deflate)
      endif()
      list(APPEND result "${entry} ${method} ${name}")
    endif()
  endforeach()
  set(out "${result}" PARENT_SCOPE)
endfunction()

function(check_listings program)
  foreach(archive IN LISTS archives)
    run("python3 zipfile" ${PYTHON3} -c [[
import sys, zipfile
methods = {0: "Stored", 8: "Deflate"}
for i in zipfile.ZipFile(sys.argv[1]).infolist():
    print(i.file_size, i.compress_size, methods.get(i.compress_type, i.compress_type), i.filename)
]] ${archive})
    string(STRIP "${out}" expected)
    string(REPLACE "\n" ";" expected "${expected}")
    listing(${program} ${archive})
    if(NOT out STREQUAL expected)
      string(REPLACE ";" "\n  " got "${out}")
      string(REPLACE ";" "\n  " want "${expected}")
      fail("${program} lists ${archive} as\n  ${got}\nPython's zipfile as\n  ${want}")
    endif()
  endforeach()
endfunction()

foreach(tool PYTHON3 PKG_CONFIG)
  if(NOT ${tool})
    fail("${tool} not found; scripts/install-deps installs it")
  endif()
endforeach()

file(REMOVE_RECURSE ${WORK_DIR})
unset(ENV{DESTDIR})

# 1. The install rules, into a prefix nothing else uses.
run("install" ${CMAKE_COMMAND} --install ${BUILD_DIR} --config ${CONFIG} --prefix ${prefix})
foreach(file
    ${LIBDIR}/libqmxarc.a
    include/qmxarc/archive/zip/zip_reader.h
    ${LIBDIR}/cmake/qmxarc/qmxarcConfigVersion.cmake
    ${LIBDIR}/pkgconfig/qmxarc.pc)
  if(NOT EXISTS ${prefix}/${file})
    fail("install left out ${file}")
  endif()
endforeach()

# 2. find_package(qmxarc) from that prefix only (no package registry, no
# source tree on the include path).
run("consumer configure" ${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples/consumer -B ${WORK_DIR}/consumer
  -G ${GENERATOR} -DCMAKE_BUILD_TYPE=${CONFIG} -DCMAKE_CXX_COMPILER=${CXX}
  -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF)
file(STRINGS ${WORK_DIR}/consumer/CMakeCache.txt found REGEX "^qmxarc_DIR:")
if(NOT found STREQUAL "qmxarc_DIR:PATH=${prefix}/${LIBDIR}/cmake/qmxarc")
  fail("find_package found another qmxarc: ${found}")
endif()
run("consumer build" ${CMAKE_COMMAND} --build ${WORK_DIR}/consumer --config ${CONFIG})
find_program(cmake_built zip_list PATHS ${WORK_DIR}/consumer PATH_SUFFIXES ${CONFIG} NO_DEFAULT_PATH)
check_listings(${cmake_built})

# 3. pkg-config: the .pc file must resolve against the moved prefix, and its
# flags must be enough to compile and link the same program.
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
run("pkg-config" ${PKG_CONFIG} --cflags --libs --static qmxarc)
string(STRIP "${out}" flags)
if(NOT flags MATCHES "-I[^ ]*/include/qmxarc" OR NOT flags MATCHES "-lqmxarc" OR NOT flags MATCHES "-lz"
   OR NOT flags MATCHES "-lcrypto")
  fail("pkg-config flags incomplete: ${flags}")
endif()
run("pkg-config prefix" ${PKG_CONFIG} --variable=includedir qmxarc)
string(STRIP "${out}" includedir)
if(NOT EXISTS ${includedir}/archive/zip/zip_writer.h)
  fail("pkg-config's includedir ${includedir} holds no headers")
endif()
separate_arguments(flags UNIX_COMMAND "${flags}")
run("compile with pkg-config flags" ${CXX} -std=c++20 ${SOURCE_DIR}/examples/consumer/zip_list.cpp
  -o ${WORK_DIR}/zip_list_pc ${flags})
check_listings(${WORK_DIR}/zip_list_pc)

file(REMOVE_RECURSE ${WORK_DIR})
message(STATUS "installed package: find_package and pkg-config consumers list as Python's zipfile does")
