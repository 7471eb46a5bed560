# Run by cpack once the files are staged, before it builds each package.
# Every package's manual page gets the README's place in that package.
# Debian wants in a .deb what a plain install has no use for: the copyright
# file and a compressed changelog in the documents folder, and the manual
# page compressed. gzip -n keeps the archives free of names and times, so
# that the same sources make the same package.
set(root ${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX})
set(doc_dir ${root}/${CPACK_VANTREL_INSTALL_DOC_DIR})
set(man_dir ${root}/${CPACK_VANTREL_INSTALL_MAN_DIR})

# The install named the staging folder as the README's place in the manual
# page: the .deb's README lies below its prefix, the tarball's below the
# folder it is unpacked into.
file(READ ${man_dir}/vantrel.1 page)
if(CPACK_GENERATOR STREQUAL "DEB")
  set(readme ${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_VANTREL_INSTALL_DOC_DIR}/README.md)
else()
  set(readme ${CPACK_VANTREL_INSTALL_DOC_DIR}/README.md)
endif()
# The prefix may end in a slash ("/" for the tarball).
string(REGEX REPLACE "/+" "/" staged_readme "${doc_dir}/README.md")
string(REPLACE "${staged_readme}" "${readme}" page "${page}")
file(WRITE ${man_dir}/vantrel.1 "${page}")

if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()

function(compress source target)
  execute_process(COMMAND gzip -9 -n -c ${source} OUTPUT_FILE ${target} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip of ${source} failed: ${status}")
  endif()
endfunction()

file(COPY ${CPACK_VANTREL_SOURCE_DOC_DIR}/copyright DESTINATION ${doc_dir})
compress(${CPACK_VANTREL_SOURCE_DOC_DIR}/changelog ${doc_dir}/changelog.gz)
compress(${man_dir}/vantrel.1 ${man_dir}/vantrel.1.gz)
file(REMOVE ${man_dir}/vantrel.1)
