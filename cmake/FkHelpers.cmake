# fk_glob_sources(OUT DIR...): every .cpp in the folders (a new file joins at the next build).
function(fk_glob_sources out)
    set(sources)
    foreach(dir IN LISTS ARGN)
        file(GLOB found CONFIGURE_DEPENDS ${dir}/*.cpp)
        list(APPEND sources ${found})
    endforeach()
    set(${out} ${sources} PARENT_SCOPE)
endfunction()

# fk_test(NAME DIR [DEPS ...]): one GoogleTest executable of every .cpp in DIR, registered with ctest.
function(fk_test name dir)
    cmake_parse_arguments(T "" "" "DEPS" ${ARGN})
    file(GLOB sources CONFIGURE_DEPENDS ${dir}/*.cpp)
    add_executable(${name} ${sources})
    target_link_libraries(${name} PRIVATE ${T_DEPS} GTest::gtest_main GTest::gmock)
    if(CMAKE_CROSSCOMPILING)
        # Under Wine the whole program runs once (a start per case would cost more than the
        # cases), in a prefix of its own: one Wine server serves all the programs of a prefix
        # one call at a time, so suites that share one wait for each other.
        add_test(NAME ${name} COMMAND ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh ${CMAKE_BINARY_DIR}/wineprefix-${name}
                                      $<TARGET_FILE:${name}>)
        set_tests_properties(${name} PROPERTIES TIMEOUT 600)
    else()
        gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300)
    endif()
endfunction()

# fk_add_library(NAME DIR...): a static library of every .cpp in the folders.
function(fk_add_library name)
    fk_glob_sources(sources ${ARGN})
    # main.cpp files belong to executables, never to a library.
    list(FILTER sources EXCLUDE REGEX "/main\\.cpp$")
    add_library(${name} STATIC ${sources})
endfunction()
