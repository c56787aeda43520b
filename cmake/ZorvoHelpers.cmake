# zorvo_include_root(target folder)
# Makes `folder` (a path below the source root, such as "util" or "directory/client") visible to
# the target and to every target that links it, and nothing else of the tree. Headers are still
# included by their path from the root ("util/Thread.h"), but only a target that links the owner
# of a header can find it.
function(zorvo_include_root target folder)
    set(root ${CMAKE_BINARY_DIR}/include-roots/${target})
    get_filename_component(parent ${root}/${folder} DIRECTORY)
    file(MAKE_DIRECTORY ${parent})
    if(NOT IS_SYMLINK ${root}/${folder})
        # A folder left there by an earlier layout of the roots gives way to the link.
        file(REMOVE_RECURSE ${root}/${folder})
        file(CREATE_LINK ${PROJECT_SOURCE_DIR}/${folder} ${root}/${folder} SYMBOLIC)
    endif()
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "INTERFACE_LIBRARY")
        target_include_directories(${target} INTERFACE $<BUILD_INTERFACE:${root}>)
    else()
        target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${root}>)
    endif()
endfunction()

# zorvo_add_test(NAME name SOURCES ... LIBS ... [LABELS ...] [TIMEOUT s] [QT] [PROPERTIES ...])
# A GoogleTest executable registered with CTest; every test case becomes its own CTest test.
# QT tests get the shared Qt test main (a QApplication on the offscreen platform).
function(zorvo_add_test)
    cmake_parse_arguments(T "QT" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS;PROPERTIES" ${ARGN})
    if(NOT ZORVO_BUILD_TESTS)
        return()
    endif()
    add_executable(${T_NAME} ${T_SOURCES})
    if(T_QT)
        target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} testsupport_qt Qt6::Test GTest::gtest)
        set(environment ENVIRONMENT "QT_QPA_PLATFORM=offscreen")
    else()
        target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main)
        set(environment "")
    endif()
    target_link_libraries(${T_NAME} PRIVATE Threads::Threads)
    if(NOT T_TIMEOUT)
        set(T_TIMEOUT 120)
    endif()
    gtest_discover_tests(${T_NAME}
        PROPERTIES LABELS "${T_LABELS}" TIMEOUT ${T_TIMEOUT} ${environment} ${T_PROPERTIES}
        DISCOVERY_TIMEOUT 60)
endfunction()

# zorvo_add_fuzzer(name SOURCES ... LIBS ...) : a libFuzzer target (clang, ASan + UBSan), run by
# scripts/fuzz.sh.
function(zorvo_add_fuzzer name)
    cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
    add_executable(${name} ${F_SOURCES})
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
endfunction()

# zorvo_shared_library(target output-name) : a shared library whose file carries the
# zorvo- prefix so that it never clashes with a system library of the same name.
function(zorvo_shared_library target outname)
    set_target_properties(${target} PROPERTIES
        OUTPUT_NAME ${outname}
        VERSION ${PROJECT_VERSION}
        SOVERSION ${PROJECT_VERSION_MAJOR})
endfunction()
