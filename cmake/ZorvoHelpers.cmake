# zorvo_add_test(NAME name SOURCES ... LIBS ... [LABELS ...])
# A GoogleTest executable registered with CTest; every test case becomes its own CTest test.
function(zorvo_add_test)
    cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
    if(NOT ZORVO_BUILD_TESTS)
        return()
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    gtest_discover_tests(${T_NAME}
        PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT}
        DISCOVERY_TIMEOUT 60)
endfunction()

# zorvo_shared_library(target output-name) : a shared library whose file carries the
# zorvo- prefix so that it never clashes with a system library of the same name.
function(zorvo_shared_library target outname)
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME ${outname}
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR})
endfunction()
