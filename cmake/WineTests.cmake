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

# corvane_wine_gtest(<target> [test properties...]): every test case runs in a
# process of its own (fresh process-wide state), discovered when CTest runs.
function(corvane_wine_gtest target)
  set_target_properties(${target} PROPERTIES CROSSCOMPILING_EMULATOR ${CORVANE_WINE_EXEC})
  gtest_discover_tests(${target}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES TIMEOUT 120 LABELS wine ${ARGN})
endfunction()

# The tests that start the updater program itself: it runs one copy per
# desktop, so two of them at once would find each other.
set(CORVANE_UPDATER_WINDOW_LOCK RESOURCE_LOCK updater_window)
