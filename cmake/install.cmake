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
  install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # The manual page names where the README lands, and that depends on the
  # prefix given to the install itself (cmake --install --prefix), known
  # only when it runs; the page in the sources names the default's place.
  # cpack stages each package below a scratch folder, and debian-documents.cmake
  # puts the package's own place in its copy.
  set(VANTREL_PAGE_README "/usr/local/${CMAKE_INSTALL_DOCDIR}/README.md")
  install(CODE "
    file(READ \"${PROJECT_SOURCE_DIR}/doc/vantrel.1\" page)
    set(readme \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_DOCDIR}/README.md\")
    string(REPLACE \"${VANTREL_PAGE_README}\" \"\${readme}\" page \"\${page}\")
    set(man_dir \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1\")
    message(STATUS \"Installing: \${man_dir}/vantrel.1\")
    file(MAKE_DIRECTORY \"\${man_dir}\")
    file(WRITE \"\${man_dir}/vantrel.1\" \"\${page}\")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${man_dir}/vantrel.1\")
  ")
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
  # manual page; the script adds them to the .deb's files only. It also
  # gives each package's manual page the README's place in that package.
  set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/debian-documents.cmake)
  set(CPACK_VANTREL_SOURCE_DOC_DIR ${PROJECT_SOURCE_DIR}/doc)
  set(CPACK_VANTREL_INSTALL_DOC_DIR ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_VANTREL_INSTALL_MAN_DIR ${CMAKE_INSTALL_MANDIR}/man1)
endif()
include(CPack)
