# What `cmake --install` and the Debian package deliver: the two programs, their manual
# pages, the runner's bash completion, and the documentation. The demonstration and the
# test helpers stay in the build tree.
set(OWNER_COMPLETIONDIR ${CMAKE_INSTALL_DATAROOTDIR}/bash-completion/completions
    CACHE PATH "bash completion scripts")

install(TARGETS solkari-owner solkari-run RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# Manual pages: the version is filled in, then they are compressed as Debian wants them.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(OWNER_MAN_PAGES solkari-owner.1 solkari-run.1)
set(OWNER_COMPRESSED_DOCS)
foreach(page ${OWNER_MAN_PAGES})
  configure_file(man/${page}.in ${CMAKE_BINARY_DIR}/man/${page} @ONLY)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/man/${page}.gz
                     COMMAND ${GZIP_PROGRAM} -9nkf ${CMAKE_BINARY_DIR}/man/${page}
                     DEPENDS ${CMAKE_BINARY_DIR}/man/${page}
                     COMMENT "Compressing ${page}")
  list(APPEND OWNER_COMPRESSED_DOCS ${CMAKE_BINARY_DIR}/man/${page}.gz)
  install(FILES ${CMAKE_BINARY_DIR}/man/${page}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/doc/changelog.gz
                   COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/doc
                   COMMAND ${GZIP_PROGRAM} -9n < ${CMAKE_SOURCE_DIR}/CHANGELOG.md > ${CMAKE_BINARY_DIR}/doc/changelog.gz
                   DEPENDS ${CMAKE_SOURCE_DIR}/CHANGELOG.md
                   COMMENT "Compressing the changelog")
list(APPEND OWNER_COMPRESSED_DOCS ${CMAKE_BINARY_DIR}/doc/changelog.gz)
add_custom_target(owner_docs ALL DEPENDS ${OWNER_COMPRESSED_DOCS})

install(FILES README.md ${CMAKE_BINARY_DIR}/doc/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
install(DIRECTORY docs/ DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES completion/solkari-run.bash DESTINATION ${OWNER_COMPLETIONDIR} RENAME solkari-run)

# `make package`: one Debian package. Its library dependencies are computed from the
# binaries, which are stripped on the way in.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME solkari-owner)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "solkari-owner developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "supervisor that proves every process of a command is gone")
# The summary above becomes the description's first line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "solkari-owner runs one command for an application, streams its output and state as JSON
event lines, and when the run ends proves that every process the command started is gone.
solkari-run runs a command under it from a terminal.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_SET_DESTDIR OFF)
include(CPack)
