# Tests run the Windows binaries under Wine, in a prefix private to this build tree
# (or to the tree whose prefix this one shares).
set(QV_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix CACHE PATH "Wine prefix of the tests")
set(QV_WINE_RUN ${CMAKE_SOURCE_DIR}/cmake/wine-run.sh)

# A GoogleTest binary as one CTest entry (one Wine start per binary).
function(qv_add_gtest target)
    add_test(NAME ${target} COMMAND ${QV_WINE_RUN} --gtest $<TARGET_FILE:${target}>)
    set_tests_properties(${target} PROPERTIES
        LABELS gtest
        ENVIRONMENT "WINEPREFIX=${QV_WINEPREFIX};QV_SOURCE_DIR=${CMAKE_SOURCE_DIR};QV_BUILD_DIR=${CMAKE_BINARY_DIR}"
        TIMEOUT 900)
endfunction()

# A test driven from the Linux side (Python), which starts servers and runs Windows
# programs through cmake/wine-run.sh.
function(qv_add_python_test name script)
    add_test(NAME ${name} COMMAND python3 ${script} ${ARGN})
    set_tests_properties(${name} PROPERTIES
        ENVIRONMENT "WINEPREFIX=${QV_WINEPREFIX};QV_SOURCE_DIR=${CMAKE_SOURCE_DIR};QV_BUILD_DIR=${CMAKE_BINARY_DIR};PYTHONDONTWRITEBYTECODE=1"
        TIMEOUT 900)
endfunction()
