# SPDX-License-Identifier: MIT
# Installs the build tree into a scratch prefix, then builds and runs the C
# example against it twice: through find_package and through pkg-config.
# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DSTREAM=... -P consume.cmake
function(run)
    execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
    if(NOT rc EQUAL 0)
        message(FATAL_ERROR "${ARGN}\n${out}\n${err}")
    endif()
    set(last_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/consumer -B ${WORK_DIR}/cmake -DCMAKE_PREFIX_PATH=${prefix} -DCMAKE_BUILD_TYPE=Release)
run(${CMAKE_COMMAND} --build ${WORK_DIR}/cmake)
run(${WORK_DIR}/cmake/c_roundtrip_installed ${STREAM})
message(STATUS "find_package: ${last_output}")

find_program(PKG_CONFIG pkg-config REQUIRED)
find_program(CC NAMES cc gcc REQUIRED)
file(GLOB_RECURSE pc_file ${prefix}/*/kivVidStreamLib2.pc)
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} ${pc_dir})
# The .pc file names the configured prefix; --define-prefix relocates it here.
run(${PKG_CONFIG} --define-prefix --cflags --libs kivVidStreamLib2)
string(STRIP "${last_output}" flags)
separate_arguments(flags UNIX_COMMAND "${flags}")
run(${CC} -std=c11 -Wall -Wextra -Wpedantic -Werror ${SOURCE_DIR}/c_roundtrip.c ${flags} -o ${WORK_DIR}/c_roundtrip_pc)
set(ENV{LD_LIBRARY_PATH} ${pc_dir}/..)
run(${WORK_DIR}/c_roundtrip_pc ${STREAM})
message(STATUS "pkg-config: ${last_output}")
