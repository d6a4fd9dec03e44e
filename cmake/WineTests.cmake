# Windows test programs run under Wine (tools/wine-exec) through CTest.
include(GoogleTest)

set(CORVANE_WINE_EXEC ${CMAKE_CURRENT_LIST_DIR}/../tools/wine-exec)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CORVANE_WINE_EXEC})

# GoogleTest, cross-built from the sources Debian ships.
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main gmock gmock_main)
  if(TARGET ${t})
    target_compile_options(${t} PRIVATE -w)
  endif()
endforeach()

# corvane_wine_gtest(<target> [<property> <value>...]): every test case runs
# in a process of its own (fresh process-wide state), discovered when CTest
# runs; more test properties may follow.
function(corvane_wine_gtest target)
  set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR ${CORVANE_WINE_EXEC})
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 LABELS wine ${ARGN})
endfunction()

# Tests that start Corvane_FW_Updater.exe itself take this lock: the program
# runs once per session (a second copy brings the first forward and ends).
set(CORVANE_PROGRAM_LOCK corvane_updater_program)
