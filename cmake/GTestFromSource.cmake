# GoogleTest for a cross build: no packaged copy exists for the target, so build it from the
# sources Debian's googletest package puts in /usr/src/googletest. The targets get the names
# find_package(GTest) gives a native build, so the test folders need not tell them apart.
set(KRONEL_GTEST_SOURCE_DIR /usr/src/googletest
    CACHE PATH "GoogleTest sources, built for the target of a cross build")
if(NOT EXISTS ${KRONEL_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "No GoogleTest sources in ${KRONEL_GTEST_SOURCE_DIR} (package googletest)")
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(${KRONEL_GTEST_SOURCE_DIR} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

foreach(target gtest gtest_main gmock gmock_main)
  if(NOT TARGET GTest::${target})
    add_library(GTest::${target} ALIAS ${target})
  endif()
endforeach()
