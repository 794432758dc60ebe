# GoogleTest for the Windows build, compiled from source in this tree (no
# prebuilt GoogleTest exists for the MinGW compilers), and the emulator that
# runs the Windows test programs under wine64 when ctest starts them.
#
# Included by the top-level CMakeLists.txt, before the tests, when WIN32 and
# VRS_TESTS are on. Needs the "-posix" MinGW compilers (std::mutex).

set(VRS_GOOGLETEST_SOURCE_DIR /usr/src/googletest CACHE PATH
    "GoogleTest sources (Debian package googletest)")
if(NOT EXISTS ${VRS_GOOGLETEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${VRS_GOOGLETEST_SOURCE_DIR} "
                      "(install the googletest package or set VRS_GOOGLETEST_SOURCE_DIR)")
endif()

# GoogleTest is not written for our warning set with -Werror: build it with
# its own flags only. A subdirectory takes the directory's compile options as
# they are when it is added.
get_directory_property(vrs_saved_compile_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "")
set(INSTALL_GTEST OFF)
set(BUILD_GMOCK ON)
add_subdirectory(${VRS_GOOGLETEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL SYSTEM)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${vrs_saved_compile_options}")
unset(vrs_saved_compile_options)

# The targets GTest::gtest, GTest::gtest_main, GTest::gmock and
# GTest::gmock_main now exist. A package file that only says so lets a plain
# find_package(GTest) succeed here as it does in the native build.
set(vrs_gtest_config_dir ${CMAKE_BINARY_DIR}/googletest-package)
file(WRITE ${vrs_gtest_config_dir}/GTestConfig.cmake
     "# GTest::gtest and friends are built in this tree (googletest-mingw.cmake).\n")
set(GTest_DIR ${vrs_gtest_config_dir} CACHE PATH "GTest package built in this tree" FORCE)
unset(vrs_gtest_config_dir)
include(GoogleTest)

# ctest (and test discovery) start every Windows test program through the
# wrapper, which runs it under wine64 in a prefix of this build tree.
if(NOT CMAKE_CROSSCOMPILING_EMULATOR)
  get_filename_component(vrs_wine_run ${CMAKE_CURRENT_LIST_DIR}/../tests/wine/wine-run.sh ABSOLUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${vrs_wine_run} ${CMAKE_BINARY_DIR}/wine-prefix)
  unset(vrs_wine_run)
endif()
