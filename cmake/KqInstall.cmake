# What `cmake --install` puts under the prefix: the library, the interface headers, kqmon and kqdemo,
# a CMake config package (find_package(kq) gives kq::kqclient) and kq.pc for pkg-config. Every path
# inside the package is relative to where it lands, so an unpacked release archive works anywhere.
include(CMakePackageConfigHelpers)

set(KQ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kq)
# A DLL sits with the programs; a shared object in the library directory.
if(WIN32)
  set(KQ_LIBRARY_FILE ${CMAKE_INSTALL_BINDIR}/kqclient.dll)
else()
  set(KQ_LIBRARY_FILE ${CMAKE_INSTALL_LIBDIR}/libkqclient.so)
endif()

install(TARGETS kqclient RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS kqmon kqdemo EXPORT kqTargets RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${CMAKE_SOURCE_DIR}/com/kqintf.h ${CMAKE_SOURCE_DIR}/com/com_abi.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kq)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/examples/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

if(NOT WIN32)
  # kqdemo loads the library by name, which the loader looks for along the program's run path.
  file(RELATIVE_PATH KQ_BIN_TO_LIB ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(kqdemo PROPERTIES INSTALL_RPATH "$ORIGIN/${KQ_BIN_TO_LIB}")
endif()

# kq::kqclient: what a driver builds with. Drivers load the library at run time rather than link it
# (see kqintf.h), so the target carries the headers, the library's installed path as
# KQ_CLIENT_LIBRARY, and the system libraries that loading it takes; the library file itself is not
# linked.
add_library(kqclientpackage INTERFACE)
set_target_properties(kqclientpackage PROPERTIES EXPORT_NAME kqclient)
target_include_directories(kqclientpackage INTERFACE $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
target_compile_definitions(kqclientpackage
                           INTERFACE "$<INSTALL_INTERFACE:KQ_CLIENT_LIBRARY=\"$<INSTALL_PREFIX>/${KQ_LIBRARY_FILE}\">")
if(WIN32)
  target_link_libraries(kqclientpackage INTERFACE uuid)  # IID_IClassFactory and the other system IIDs
else()
  target_link_libraries(kqclientpackage INTERFACE ${CMAKE_DL_LIBS})
endif()
install(TARGETS kqclientpackage EXPORT kqTargets)

install(EXPORT kqTargets NAMESPACE kq:: DESTINATION ${KQ_CMAKE_DIR})
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kqConfig.cmake.in ${CMAKE_BINARY_DIR}/kqConfig.cmake
                              INSTALL_DESTINATION ${KQ_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/kqConfigVersion.cmake COMPATIBILITY SameMinorVersion)
install(FILES ${CMAKE_BINARY_DIR}/kqConfig.cmake ${CMAKE_BINARY_DIR}/kqConfigVersion.cmake DESTINATION ${KQ_CMAKE_DIR})

# kq.pc, its prefix found from where pkg-config found the file. A string define cannot pass through
# `$(pkg-config --cflags)` unharmed, so a driver built with it loads the library by name and finds it
# along the run path that --libs gives it; on Windows the DLL sits beside the driver or on the PATH.
set(KQ_PC_DIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH KQ_PC_TO_PREFIX ${CMAKE_INSTALL_PREFIX}/${KQ_PC_DIR} ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" KQ_PC_TO_PREFIX "${KQ_PC_TO_PREFIX}")
if(WIN32)
  set(KQ_PC_LIBS "-luuid")
else()
  set(KQ_PC_LIBS "-Wl,-rpath,\${libdir} -l${CMAKE_DL_LIBS}")
endif()
configure_file(${CMAKE_SOURCE_DIR}/cmake/kq.pc.in ${CMAKE_BINARY_DIR}/kq.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/kq.pc DESTINATION ${KQ_PC_DIR})
