# The release packages, made by cpack in one run:
#   DEB  tavikcut_<version>_amd64.deb: the program in /usr/bin, its manual
#        page, and the copyright and changelog in /usr/share/doc/tavikcut;
#   TGZ  a statically linked Linux binary with the manual page, README and
#        LICENSE, for any Linux of its architecture;
#   ZIP  the Windows binary, cross-built with MinGW-w64, with README and
#        LICENSE.
# Each takes its own install component; cmake/cpack-generators.cmake picks
# the one for each generator.

configure_file(packaging/changelog changelog COPYONLY)
gzip_in_build(changelog)
install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${CMAKE_CURRENT_BINARY_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

add_executable(tavikcut-static src/tavikcut.cpp)
target_compile_options(tavikcut-static PRIVATE ${TAVIKCUT_WARNINGS})
target_link_options(tavikcut-static PRIVATE -static)
set_target_properties(tavikcut-static PROPERTIES OUTPUT_NAME tavikcut RUNTIME_OUTPUT_DIRECTORY static)
install(TARGETS tavikcut-static RUNTIME DESTINATION . COMPONENT static)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/tavikcut.1 README.md LICENSE DESTINATION . COMPONENT static)

include(ExternalProject)
ExternalProject_Add(windows
  SOURCE_DIR ${PROJECT_SOURCE_DIR}
  BINARY_DIR ${CMAKE_CURRENT_BINARY_DIR}/windows
  CMAKE_ARGS -DCMAKE_TOOLCHAIN_FILE=${PROJECT_SOURCE_DIR}/cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release
             -DBUILD_TESTING=OFF
  BUILD_COMMAND ${CMAKE_COMMAND} --build <BINARY_DIR> --target tavikcut
  INSTALL_COMMAND "")
install(PROGRAMS ${CMAKE_CURRENT_BINARY_DIR}/windows/tavikcut.exe DESTINATION . COMPONENT windows)
install(FILES README.md LICENSE DESTINATION . COMPONENT windows)

set(CPACK_PACKAGE_NAME tavikcut)
set(CPACK_PACKAGE_VENDOR "the tavikcut authors")
set(CPACK_PACKAGE_CONTACT "tavikcut authors <tavikcut@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "extract every file of a raw disk image")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB TGZ ZIP)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
set(CPACK_PROJECT_CONFIG_FILE ${PROJECT_SOURCE_DIR}/cmake/cpack-generators.cmake)

set(CPACK_DEBIAN_PACKAGE_NAME tavikcut)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The synopsis line is CPACK_PACKAGE_DESCRIPTION_SUMMARY.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "tavikcut unpacks every file stored on a raw disk image of 512-byte sectors
that carries the signature Tavik in sector 14. It checks the signature,
prints one listing line per directory entry and writes each file, under its
own name, into the current working directory.
.
Damaged and partial images are read as far as they go, names that cannot be
stored are written under a substitute, and no file is ever created outside
the current directory.")

include(CPack)
