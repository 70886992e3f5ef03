# Install rules and packages: a .zip for Windows (both .exe files, README.txt, LICENSE.txt) and a
# .deb for Debian (both programs, their man pages, the docs).
include(GNUInstallDirs)

if(WIN32)
  install(TARGETS naltctl nalt-stub RUNTIME DESTINATION .)
  # Texts as Windows opens them by a double-click: .txt, CR LF, written here so that their bytes
  # do not depend on the checkout's line ends (@PROJECT_VERSION@ in them becomes the version).
  configure_file(doc/windows-readme.txt README.txt @ONLY NEWLINE_STYLE CRLF)
  configure_file(LICENSE LICENSE.txt @ONLY NEWLINE_STYLE CRLF)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/README.txt ${CMAKE_CURRENT_BINARY_DIR}/LICENSE.txt
          DESTINATION .)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win64)
else()
  install(TARGETS naltctl nalt-stub RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  # The pages' date is the newest release's, as the changelog's first sign-off line has it.
  file(STRINGS cmake/changelog signed REGEX "^ -- " LIMIT_COUNT 1)
  string(REGEX MATCH "([0-9]+) ([A-Z][a-z]+) ([0-9]+)" signed "${signed}")
  string(FIND "JanFebMarAprMayJunJulAugSepOctNovDec" ${CMAKE_MATCH_2} month)
  math(EXPR month "${month} / 3 + 101")
  string(SUBSTRING ${month} 1 2 month)
  set(MAN_DATE ${CMAKE_MATCH_3}-${month}-${CMAKE_MATCH_1})
  # Man pages and the changelog go in compressed, as Debian policy has it; gzip -n leaves out the
  # name and time stamp, so the bytes are the same on every build.
  foreach(file man/naltctl.1 man/nalt-stub.1 cmake/changelog)
    configure_file(${file} ${file} @ONLY)
    add_custom_command(OUTPUT ${file}.gz COMMAND gzip -9nc ${file} > ${file}.gz
                       DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/${file}
                       WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR})
    list(APPEND compressed ${CMAKE_CURRENT_BINARY_DIR}/${file}.gz)
  endforeach()
  add_custom_target(compressed-docs ALL DEPENDS ${compressed})
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/man/naltctl.1.gz
                ${CMAKE_CURRENT_BINARY_DIR}/man/nalt-stub.1.gz
          DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${CMAKE_CURRENT_BINARY_DIR}/cmake/changelog.gz README.md
          DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION net)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  # Service names in NALT_PORT (NALT_PORT=http) need /etc/services, which a minimal system lacks.
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS netbase)
endif()

set(CPACK_PACKAGE_NAME naltctl)
set(CPACK_PACKAGE_VENDOR "The naltctl developers")
set(CPACK_PACKAGE_CONTACT "The naltctl developers <naltctl@example.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "control client for the nalt service")
set(CPACK_PACKAGE_DESCRIPTION
    "naltctl sends START or STOP to the nalt service's control port and\nexits 0 (accepted), 1 (bad command line) or 3 (failed or refused).\nnalt-stub is a stand-in service for trying it.")
set(CPACK_RESOURCE_FILE_LICENSE ${CMAKE_CURRENT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
# The programs go in as built and tested: release builds strip them when linking, and a second
# strip would make the packaged files other bytes.
set(CPACK_STRIP_FILES OFF)
include(CPack)
