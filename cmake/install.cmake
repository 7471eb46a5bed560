# What `cmake --install` puts where, and the packages `cpack` makes of it:
# a tarball and a .deb on Linux, a zip on Windows. Only the tool and its
# documents are installed, nothing that the tests build.

if(WIN32)
  # Windows users unpack a zip and find the program beside its README; a
  # manual page would have no reader there.
  install(TARGETS vantrel RUNTIME DESTINATION .)
  install(FILES README.md DESTINATION .)
else()
  include(GNUInstallDirs)
  install(TARGETS vantrel RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES doc/vantrel.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "keeps a package file in step with a folder of loose files")
set(CPACK_PACKAGE_DESCRIPTION
  "vantrel expands a package file (one file holding many named entries) into\n"
  "a folder of loose files, one per entry, and groups edited loose files back\n"
  "into the package. It never overwrites a file when expanding, and a failed\n"
  "group leaves the package as it was.")
string(JOIN "" CPACK_PACKAGE_DESCRIPTION ${CPACK_PACKAGE_DESCRIPTION})
set(CPACK_PACKAGE_CONTACT "vantrel maintainers <maintainers@users.noreply.c-seed-443c864f.example>")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  # CPack names every Windows package win32 unless told otherwise.
  if(CMAKE_SIZEOF_VOID_P EQUAL 8)
    set(CPACK_SYSTEM_NAME win64)
  endif()
else()
  set(CPACK_GENERATOR TGZ DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # A .deb also needs the copyright file, a changelog and a compressed
  # manual page; the script adds them to the .deb's files only.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian-documents.cmake)
  set(CPACK_VANTREL_SOURCE_DOC_DIR ${PROJECT_SOURCE_DIR}/doc)
  set(CPACK_VANTREL_INSTALL_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_VANTREL_INSTALL_MAN_DIR ${CMAKE_INSTALL_MANDIR}/man1)
endif()
include(CPack)
