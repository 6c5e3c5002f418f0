# Installation and packaging, for a top-level build.
#
# Components: "runtime" (the program, its manual, copyright and changelog),
# "library" (the shared library's versioned files, when built shared) and
# "development" (headers, the library or its link name, the CMake package and
# the pkg-config file) and, where the Python module is built, "python" (its
# package in dist-packages). `cpack -G DEB` makes one Debian package per
# component: tagcut, libtagcut1, libtagcut-dev and python3-tagcut.

include(CMakePackageConfigHelpers)
include(${CMAKE_CURRENT_LIST_DIR}/DebianFiles.cmake)

set(tagcut_runtime_docdir ${CMAKE_INSTALL_DATADIR}/doc/tagcut)
set(tagcut_development_docdir ${CMAKE_INSTALL_DATADIR}/doc/libtagcut-dev)
set(tagcut_python_docdir ${CMAKE_INSTALL_DATADIR}/doc/python3-tagcut)
set(tagcut_doc_components runtime development)
if(TARGET _tagcut)
  list(APPEND tagcut_doc_components python)
endif()
set(tagcut_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/tagcut)
set(tagcut_pkgconfig_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# The program and its manual, compressed as Debian installs manuals.
find_program(TAGCUT_GZIP gzip REQUIRED)
configure_file(docs/tagcut.1.in ${CMAKE_CURRENT_BINARY_DIR}/tagcut.1 @ONLY)
tagcut_debian_files(${CMAKE_CURRENT_BINARY_DIR}/debian)
# The README (when to use tagcut, the library, the per-file recipe) goes
# with both packages, compressed as Debian compresses documentation.
add_custom_command(
  OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/tagcut.1.gz ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
         ${CMAKE_CURRENT_BINARY_DIR}/README.md.gz
  COMMAND ${TAGCUT_GZIP} -9nc ${CMAKE_CURRENT_BINARY_DIR}/tagcut.1 > ${CMAKE_CURRENT_BINARY_DIR}/tagcut.1.gz
  COMMAND ${TAGCUT_GZIP} -9nc ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
          > ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
  COMMAND ${TAGCUT_GZIP} -9nc ${CMAKE_CURRENT_SOURCE_DIR}/README.md > ${CMAKE_CURRENT_BINARY_DIR}/README.md.gz
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/tagcut.1 ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog
          ${CMAKE_CURRENT_SOURCE_DIR}/README.md
  VERBATIM)
add_custom_target(tagcut_compressed_docs ALL
  DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/tagcut.1.gz ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
          ${CMAKE_CURRENT_BINARY_DIR}/README.md.gz)

install(TARGETS tagcut_cli RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tagcut.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
foreach(component IN LISTS tagcut_doc_components)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/debian/copyright
                ${CMAKE_CURRENT_BINARY_DIR}/debian/changelog.gz
                ${CMAKE_CURRENT_BINARY_DIR}/README.md.gz
          DESTINATION ${tagcut_${component}_docdir} COMPONENT ${component})
endforeach()

# The library.
install(TARGETS tagcut EXPORT tagcutTargets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT library
                NAMELINK_COMPONENT development
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT library)
install(FILES ${tagcut_public_headers}
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/tagcut COMPONENT development)
install(EXPORT tagcutTargets NAMESPACE tagcut:: DESTINATION ${tagcut_cmake_dir}
        COMPONENT development)
configure_package_config_file(cmake/tagcutConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/tagcutConfig.cmake INSTALL_DESTINATION ${tagcut_cmake_dir})
write_basic_package_version_file(${CMAKE_CURRENT_BINARY_DIR}/tagcutConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tagcutConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/tagcutConfigVersion.cmake
        DESTINATION ${tagcut_cmake_dir} COMPONENT development)

# pkg-config, relocatable: paths are relative to the .pc file's own place.
file(RELATIVE_PATH tagcut_pc_to_prefix /prefix/${tagcut_pkgconfig_dir} /prefix)
set(tagcut_pc_libdir "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
set(tagcut_pc_includedir "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
configure_file(cmake/tagcut.pc.in ${CMAKE_CURRENT_BINARY_DIR}/tagcut.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tagcut.pc
        DESTINATION ${tagcut_pkgconfig_dir} COMPONENT development)

# Debian packages.
set(CPACK_PACKAGE_NAME tagcut)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "tagcut developers")
set(CPACK_PACKAGE_CONTACT "${TAGCUT_MAINTAINER}")
# Each component's synopsis is the first line of its own description; CPack
# puts the package-wide summary before it unless that is CPack's default text.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_COMPONENTS_ALL ${tagcut_doc_components})
if(BUILD_SHARED_LIBS)
  list(APPEND CPACK_COMPONENTS_ALL library)
endif()
set(tagcut_deb_extended
"tagcut is a filter for pipelines: given a start tag and an end tag (any byte
strings), it copies every portion of its standard input that lies between a
start tag and the next end tag to standard output, one portion per line.
It is exact to the byte, delivers each portion before it waits for more
input, and keeps constant memory on endless streams.")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME tagcut)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_RUNTIME_DESCRIPTION "copy the portions of a byte stream between two tags\n${tagcut_deb_extended}")
set(CPACK_DEBIAN_LIBRARY_PACKAGE_NAME libtagcut${PROJECT_VERSION_MAJOR})
set(CPACK_DEBIAN_LIBRARY_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_LIBRARY_DESCRIPTION "tag-delimited stream extraction library\n${tagcut_deb_extended}

This package holds the shared library.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libtagcut-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_DESCRIPTION "tag-delimited stream extraction library (development files)\n${tagcut_deb_extended}

This package holds the C++ headers, the library, its CMake package and its
pkg-config file.")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libstdc++-12-dev | libstdc++-dev")
if(BUILD_SHARED_LIBS)
  set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
      "${CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS}, libtagcut${PROJECT_VERSION_MAJOR} (= ${PROJECT_VERSION})")
endif()
set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME python3-tagcut)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_DESCRIPTION "tag-delimited stream extraction for Python 3\n${tagcut_deb_extended}
This package holds the Python module: findall, portions as columns that
numpy and Arrow read without a copy, spans, and streaming iterators.")
set(CPACK_DEBIAN_PYTHON_PACKAGE_CONTROL_EXTRA
    ${CMAKE_CURRENT_LIST_DIR}/python-package/postinst ${CMAKE_CURRENT_LIST_DIR}/python-package/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
if(tagcut_python_version)  # the native module is for this one Python
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS
      "python3 (>= ${tagcut_python_version}~), python3 (<< ${tagcut_python_next_version})")
endif()
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/bench/out/" "/fuzz/findings/" "__pycache__")
include(CPack)
