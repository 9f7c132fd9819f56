# Installs the C/C++ library as a package: the public headers under include/,
# the library under lib/, the CMake package (find_package(zeb CONFIG), target
# zeb::zeb) under lib/cmake/zeb and zeb.pc for pkg-config under lib/pkgconfig.
include(CMakePackageConfigHelpers)

# include/ holds the public headers and nothing else; zebversion.h is written
# by the build.
file(GLOB ZEB_PUBLIC_HEADERS CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/*.h ${PROJECT_SOURCE_DIR}/include/*.hpp)
list(APPEND ZEB_PUBLIC_HEADERS ${PROJECT_BINARY_DIR}/include/zebversion.h)
set(ZEB_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zeb)

install(TARGETS zeb EXPORT zebTargets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT devel
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT devel
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${ZEB_PUBLIC_HEADERS} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT devel)
install(EXPORT zebTargets NAMESPACE zeb:: DESTINATION ${ZEB_CMAKE_DIR} COMPONENT devel)

configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/zebConfig.cmake.in
  ${PROJECT_BINARY_DIR}/zebConfig.cmake INSTALL_DESTINATION ${ZEB_CMAKE_DIR})
# 0.x releases may change the interface between minor versions; from 1.0 on
# a release keeps it within its major version (docs/policies.md).
if(PROJECT_VERSION_MAJOR EQUAL 0)
  set(ZEB_COMPATIBILITY SameMinorVersion)
else()
  set(ZEB_COMPATIBILITY SameMajorVersion)
endif()
write_basic_package_version_file(${PROJECT_BINARY_DIR}/zebConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY ${ZEB_COMPATIBILITY})
install(FILES ${PROJECT_BINARY_DIR}/zebConfig.cmake ${PROJECT_BINARY_DIR}/zebConfigVersion.cmake
  DESTINATION ${ZEB_CMAKE_DIR} COMPONENT devel)

# zeb.pc finds its prefix from its own place (${pcfiledir}), so that the
# package works wherever `cmake --install --prefix` put it.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(ZEB_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  set(ZEB_PC_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
  set(ZEB_PC_INCLUDEDIR "${CMAKE_INSTALL_FULL_INCLUDEDIR}")
else()
  file(RELATIVE_PATH ZEB_PC_UP "/zeb/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/zeb")
  string(REGEX REPLACE "/$" "" ZEB_PC_UP "${ZEB_PC_UP}")
  set(ZEB_PC_PREFIX "\${pcfiledir}/${ZEB_PC_UP}")
  set(ZEB_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(ZEB_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
# What a program linking the static library needs besides it: the C++
# runtime (the library is C++ inside) and the thread library.
set(ZEB_PC_LIBS_PRIVATE "")
foreach(lib IN LISTS CMAKE_CXX_IMPLICIT_LINK_LIBRARIES)
  if(lib MATCHES "^(stdc\\+\\+|c\\+\\+|c\\+\\+abi|m)$")
    string(APPEND ZEB_PC_LIBS_PRIVATE " -l${lib}")
  endif()
endforeach()
if(CMAKE_THREAD_LIBS_INIT)
  string(APPEND ZEB_PC_LIBS_PRIVATE " ${CMAKE_THREAD_LIBS_INIT}")
endif()
string(STRIP "${ZEB_PC_LIBS_PRIVATE}" ZEB_PC_LIBS_PRIVATE)
if(ZEB_LIBRARY_TYPE STREQUAL "STATIC_LIBRARY")
  set(ZEB_PC_CFLAGS " -DZEB_STATIC")
else()
  set(ZEB_PC_CFLAGS "")
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/zeb.pc.in ${PROJECT_BINARY_DIR}/zeb.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/zeb.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT devel)
