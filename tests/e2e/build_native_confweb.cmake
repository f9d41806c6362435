# The browser suites' native confweb, brought up to date in its native build
# tree; without such a tree the suites cannot run, and this says how to get one.
#   cmake -DNATIVE_BUILD=DIR -P build_native_confweb.cmake
if(NOT EXISTS "${NATIVE_BUILD}/CMakeCache.txt")
    message(FATAL_ERROR
        "No native build in ${NATIVE_BUILD} for the browser suites' confweb: configure one there "
        "(tools/test.sh does; or cmake -S SOURCE -B ${NATIVE_BUILD} -G Ninja), or point this build's "
        "CONF_NATIVE_BUILD at one.")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${NATIVE_BUILD}" --target confweb -j 2
                RESULT_VARIABLE status)
if(NOT status EQUAL 0)
    message(FATAL_ERROR "Building confweb in ${NATIVE_BUILD} failed.")
endif()
