# Installs the build into a temporary prefix, then builds and runs main.cc against it twice:
# through find_package(krreports) and through pkg-config. Run by ctest (install_consumer) with
# BUILD_DIR, CONSUMER_DIR, WORK_DIR, CXX, GENERATOR, PKG_CONFIG, LIBDIR and STATIC set.
set(prefix ${WORK_DIR}/prefix)
set(expected "size 12 4")

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${rc}): ${command}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

function(check_output what)
  string(STRIP "${run_output}" got)
  if(NOT got STREQUAL expected)
    message(FATAL_ERROR "${what}: printed \"${got}\", expected \"${expected}\"")
  endif()
  message(STATUS "${what}: ${got}")
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})
foreach(f include/kr/object.h include/reports/fields.h ${LIBDIR}/cmake/krreports/krreportsConfig.cmake
          ${LIBDIR}/pkgconfig/libkr.pc ${LIBDIR}/pkgconfig/libkrreports.pc)
  if(NOT EXISTS ${prefix}/${f})
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()

# 1. CMake. No package registry and no other prefix, so only the copy just installed is found.
run(${CMAKE_COMMAND} -S ${CONSUMER_DIR} -B ${WORK_DIR}/cmake -G ${GENERATOR}
    -DCMAKE_CXX_COMPILER=${CXX} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF)
if(NOT run_output MATCHES "from ${prefix}/")
  message(FATAL_ERROR "find_package did not take the installed copy:\n${run_output}")
endif()
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
run(${WORK_DIR}/cmake/consumer)
check_output("find_package")

# 2. pkg-config, with the installed copy's files first on its path (the system's stay for what
# a static build requires, such as openssl).
if(NOT PKG_CONFIG)
  message(FATAL_ERROR "pkg-config is needed for this test")
endif()
set(ENV{PKG_CONFIG_PATH} ${prefix}/${LIBDIR}/pkgconfig)
unset(ENV{PKG_CONFIG_LIBDIR})
run(${PKG_CONFIG} --variable=prefix libkrreports)
string(STRIP "${run_output}" pc_prefix)
if(NOT pc_prefix STREQUAL prefix)
  message(FATAL_ERROR "pkg-config took libkrreports.pc from ${pc_prefix}, not ${prefix}")
endif()
set(pc_args --cflags --libs)
if(STATIC)
  list(APPEND pc_args --static)
endif()
run(${PKG_CONFIG} --exact-version=0.1.0 libkrreports)
run(${PKG_CONFIG} ${pc_args} libkrreports)
string(STRIP "${run_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CXX} -std=c++20 -Wall -Wextra -Werror ${CONSUMER_DIR}/main.cc ${flags}
    -Wl,-rpath,${prefix}/${LIBDIR} -o ${WORK_DIR}/consumer-pc)
run(${WORK_DIR}/consumer-pc)
check_output("pkg-config")
