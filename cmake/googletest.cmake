# GoogleTest built from Debian's sources (the googletest package) with the
# build's own compiler, for builds whose target has no GoogleTest installed:
# the Windows builds, and the cross builds that run their suites under an
# emulator (SPRAYL_CROSS_GOOGLETEST). Defines GTest::gtest and
# GTest::gtest_main, as find_package(GTest) would.
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(SPRAYL_GOOGLETEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources to cross-build")
add_subdirectory(${SPRAYL_GOOGLETEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
