# Settings of the mutation build, read through CMAKE_PROJECT_INCLUDE so the
# project's own CMake files stay as they are.
#
# Driver translation units see the (possibly mutated) driver headers with
# their inline functions renamed (MUTATION_RENAMES, a forced include); the
# tests see a pristine copy of the same headers (MUTATION_SHADOW). A mutant
# in a header then rebuilds the driver alone, and the tests keep observing
# through the original helpers.
if(NOT MUTATION_SHADOW OR NOT MUTATION_RENAMES)
    return()
endif()

function(dravolux_mutation_build)
    target_compile_options(dravolux_driver PRIVATE -include ${MUTATION_RENAMES})
    foreach(test IN LISTS MUTATION_TESTS)
        target_include_directories(${test} BEFORE PRIVATE ${MUTATION_SHADOW})
    endforeach()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL dravolux_mutation_build)
