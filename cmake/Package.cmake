# Debian packages (cpack -G DEB, or ./run package), split as Debian splits such software:
#   qorx          the library for both front ends, qorx, qorx-bridge and what the browsers need to
#                 find it system-wide (host manifests, the packed extension), the jar, man pages
#   qorx-dev      the card service for C++ programs: static archive, headers, qorx.pc, CMake package
#   qorx-cardsim  the card simulator with its harness and card profiles, for a bank's test team
# The browser files live at fixed system paths, so they go into the packages only, never into a
# plain cmake --install (EXCLUDE_FROM_ALL).

# ---- which keys the packages carry --------------------------------------------------------------
option(QORX_TEST_KEYS "Package with the TEST CAs and issuer keys (the version says +testkeys)" OFF)
set(QORX_NAMED_KEYS OFF)
if(NOT QORX_CA_MANIFEST STREQUAL "${PROJECT_SOURCE_DIR}/tools/pki/ca-certificates.txt" AND
   NOT QORX_ISSUER_KEYS_FILE STREQUAL "${PROJECT_SOURCE_DIR}/tools/keys/issuer-public-keys.txt")
  set(QORX_NAMED_KEYS ON)
endif()
if(QORX_TEST_KEYS AND QORX_NAMED_KEYS)
  message(FATAL_ERROR "QORX_TEST_KEYS=ON names the test keys, but a deployment's CA manifest and "
                      "issuer keys were given as well: choose one.")
endif()
set(QORX_PACKAGE_VERSION ${PROJECT_VERSION})
set(QORX_KEYS_NOTE "")
if(QORX_TEST_KEYS)
  set(QORX_PACKAGE_VERSION ${PROJECT_VERSION}+testkeys)
  string(CONCAT QORX_KEYS_NOTE "\n\nThis build embeds the TEST certification authorities and issuer keys,\n"
         "whose private halves are public: for tests only, never for customers.")
endif()

# ---- files made for the packages ------------------------------------------------------------------
set(QORX_PACKAGE_FILES ${CMAKE_BINARY_DIR}/package-files)
set(QORX_BRIDGE_SHARE ${CMAKE_INSTALL_DATADIR}/qorx/bridge)
set(QORX_PACKAGE_PREFIX /usr)
file(STRINGS ${PROJECT_SOURCE_DIR}/tools/bridge/Install.h id_line
     REGEX "kChromeExtensionId = \"[a-p]+\"")
string(REGEX REPLACE ".*\"([a-p]+)\".*" "\\1" QORX_EXTENSION_ID "${id_line}")
find_package(Python3 COMPONENTS Interpreter REQUIRED)
set(browser_files qorx-bridge.crx qorx-bridge.xpi chrome-host.json firefox-host.json
    external-extension.json)
list(TRANSFORM browser_files PREPEND ${QORX_PACKAGE_FILES}/)
file(GLOB extension_sources ${PROJECT_SOURCE_DIR}/tools/bridge/extension/*)
add_custom_command(
  OUTPUT ${browser_files}
  COMMAND ${CMAKE_COMMAND} -DPYTHON=${Python3_EXECUTABLE}
          -DPACKER=${PROJECT_SOURCE_DIR}/packaging/pack-extension.py
          -DEXTENSION_DIR=${PROJECT_SOURCE_DIR}/tools/bridge/extension
          -DKEY=${PROJECT_SOURCE_DIR}/packaging/extension-key.pem -DBRIDGE=$<TARGET_FILE:qorx-bridge>
          -DHOST=${QORX_PACKAGE_PREFIX}/${CMAKE_INSTALL_BINDIR}/qorx-bridge
          -DCRX_PATH=${QORX_PACKAGE_PREFIX}/${QORX_BRIDGE_SHARE}/qorx-bridge.crx
          -DEXTENSION_ID=${QORX_EXTENSION_ID} -DOUT=${QORX_PACKAGE_FILES}
          -P ${PROJECT_SOURCE_DIR}/packaging/BrowserFiles.cmake
  DEPENDS qorx-bridge ${extension_sources} ${PROJECT_SOURCE_DIR}/packaging/pack-extension.py
          ${PROJECT_SOURCE_DIR}/packaging/BrowserFiles.cmake ${PROJECT_SOURCE_DIR}/packaging/extension-key.pem
  COMMENT "Packing the browser extension and the host manifests"
  VERBATIM)

# Man pages and changelogs go compressed, without a time stamp in the gzip header.
set(man_pages qorx qorx-bridge qorx-cardsim qorx-regsvr qorx-script)
set(gzipped "")
foreach(page ${man_pages})
  add_custom_command(OUTPUT ${QORX_PACKAGE_FILES}/${page}.1.gz
    COMMAND gzip -9nc ${PROJECT_SOURCE_DIR}/man/${page}.1 > ${QORX_PACKAGE_FILES}/${page}.1.gz
    DEPENDS ${PROJECT_SOURCE_DIR}/man/${page}.1)
  list(APPEND gzipped ${QORX_PACKAGE_FILES}/${page}.1.gz)
endforeach()
# One changelog entry for the version built, dated by the last commit when there is one.
set(QORX_PACKAGE_DATE "Thu, 01 Jan 2026 00:00:00 +0000")
find_package(Git QUIET)
if(GIT_FOUND)
  execute_process(COMMAND ${GIT_EXECUTABLE} log -1 --format=%aD WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
                  OUTPUT_VARIABLE commit_date OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
  if(commit_date)
    set(QORX_PACKAGE_DATE "${commit_date}")
  endif()
endif()
set(QORX_PACKAGE_MAINTAINER "QorX developers <packages@qorx.org>")
foreach(package qorx qorx-dev qorx-cardsim)
  file(CONFIGURE OUTPUT ${QORX_PACKAGE_FILES}/${package}.changelog CONTENT
       "${package} (${QORX_PACKAGE_VERSION}) unstable; urgency=medium\n\n  * Debian packages of QorX ${PROJECT_VERSION}.\n\n -- ${QORX_PACKAGE_MAINTAINER}  ${QORX_PACKAGE_DATE}\n")
  add_custom_command(OUTPUT ${QORX_PACKAGE_FILES}/${package}/changelog.gz
    COMMAND ${CMAKE_COMMAND} -E make_directory ${QORX_PACKAGE_FILES}/${package}
    COMMAND gzip -9nc ${QORX_PACKAGE_FILES}/${package}.changelog
            > ${QORX_PACKAGE_FILES}/${package}/changelog.gz
    DEPENDS ${QORX_PACKAGE_FILES}/${package}.changelog)
  list(APPEND gzipped ${QORX_PACKAGE_FILES}/${package}/changelog.gz)
endforeach()
add_custom_target(qorx_package_files ALL DEPENDS ${browser_files} ${gzipped})

# ---- qorx: what each browser reads system-wide ----------------------------------------------------
install(FILES ${QORX_PACKAGE_FILES}/qorx-bridge.crx ${QORX_PACKAGE_FILES}/qorx-bridge.xpi
        DESTINATION ${QORX_BRIDGE_SHARE} COMPONENT qorx)
# Native messaging hosts, each where its browser looks for system-wide ones.
foreach(folder /etc/chromium/native-messaging-hosts /etc/opt/chrome/native-messaging-hosts)
  install(FILES ${QORX_PACKAGE_FILES}/chrome-host.json DESTINATION ${folder}
          RENAME org.qorx.bridge.json COMPONENT qorx EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${QORX_PACKAGE_FILES}/firefox-host.json
        DESTINATION /usr/lib/mozilla/native-messaging-hosts RENAME org.qorx.bridge.json
        COMPONENT qorx EXCLUDE_FROM_ALL)
# The extension: Chromium and Chrome install the signed CRX that an external-extension file in
# their own folder names (Debian's chromium script passes everything in /usr/share/chromium/
# extensions to --load-extension, so Chromium's is the one beside the browser); Firefox loads
# add-ons from its system folder, named by the gecko ID.
foreach(folder /usr/lib/chromium/extensions /usr/share/google-chrome/extensions)
  install(FILES ${QORX_PACKAGE_FILES}/external-extension.json DESTINATION ${folder}
          RENAME ${QORX_EXTENSION_ID}.json COMPONENT qorx EXCLUDE_FROM_ALL)
endforeach()
install(FILES ${QORX_PACKAGE_FILES}/qorx-bridge.xpi
        DESTINATION "/usr/share/mozilla/extensions/{ec8030f7-c20a-464f-9b0e-13a3a9e97384}"
        RENAME bridge@qorx.org.xpi COMPONENT qorx EXCLUDE_FROM_ALL)
# The machine's allowlist, for the bank's IT to fill in.
install(FILES ${PROJECT_SOURCE_DIR}/packaging/bridge-origins DESTINATION /etc/qorx
        COMPONENT qorx EXCLUDE_FROM_ALL)

# ---- man pages, copyright and changelogs ---------------------------------------------------------
install(FILES ${QORX_PACKAGE_FILES}/qorx.1.gz ${QORX_PACKAGE_FILES}/qorx-bridge.1.gz
              ${QORX_PACKAGE_FILES}/qorx-regsvr.1.gz ${QORX_PACKAGE_FILES}/qorx-script.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT qorx)
file(CREATE_LINK qorx-cardsim.1.gz ${QORX_PACKAGE_FILES}/qorx-harness.1.gz SYMBOLIC)
install(FILES ${QORX_PACKAGE_FILES}/qorx-cardsim.1.gz ${QORX_PACKAGE_FILES}/qorx-harness.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT qorx-cardsim)
# Google Chrome reads system-wide hosts only from /etc/opt/chrome (lintian's reasons).
install(FILES ${PROJECT_SOURCE_DIR}/packaging/qorx/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME qorx COMPONENT qorx
        EXCLUDE_FROM_ALL)
foreach(package qorx qorx-dev qorx-cardsim)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/copyright ${QORX_PACKAGE_FILES}/${package}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${package} EXCLUDE_FROM_ALL)
endforeach()

# ---- qorx-cardsim: the harness and the card profiles beside the simulator ------------------------
install(PROGRAMS ${PROJECT_SOURCE_DIR}/tools/harness/qorx-harness DESTINATION ${CMAKE_INSTALL_BINDIR}
        COMPONENT qorx-cardsim)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/tests/data/pki/cards/ DESTINATION ${CMAKE_INSTALL_DATADIR}/qorx-cardsim/cards
        COMPONENT qorx-cardsim FILES_MATCHING PATTERN "*.der" PATTERN "*.key")

# ---- CPack -----------------------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME qorx)
set(CPACK_PACKAGE_VERSION ${QORX_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT "${QORX_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGING_INSTALL_PREFIX ${QORX_PACKAGE_PREFIX})
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL qorx qorx-dev qorx-cardsim)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${QORX_PACKAGE_VERSION})
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://qorx.org/")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_QORX_PACKAGE_NAME qorx)
set(CPACK_DEBIAN_QORX_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QORX_PACKAGE_SHLIBDEPS ON)
# pcsc-lite's client library is loaded at run time, so dpkg-shlibdeps cannot see it.
set(CPACK_DEBIAN_QORX_PACKAGE_DEPENDS "pcscd, libpcsclite1")
set(CPACK_DEBIAN_QORX_PACKAGE_SUGGESTS
    "chromium | firefox-esr | firefox, default-jre-headless | java17-runtime-headless")
# The library is where programs and the JVM look for it: ldconfig runs as a trigger.
set(CPACK_DEBIAN_QORX_PACKAGE_CONTROL_EXTRA ${PROJECT_SOURCE_DIR}/packaging/qorx/conffiles
    ${PROJECT_SOURCE_DIR}/packaging/qorx/triggers)
string(CONCAT CPACK_DEBIAN_QORX_DESCRIPTION
       "smart-card access for internet banking\n"
       "QorX lets a bank's web application and Java programs work with the\n"
       "customer's chip card through a PC/SC reader: card authentication by its\n"
       "certificate, PIN verification, transaction signing, secure channel\n"
       "scripts, hashing and a report on the PC/SC installation.\n"
       "\n"
       "This package holds the library for the Java and scriptable front ends,\n"
       "the qorx command line, and the browser bridge qorx-bridge with its\n"
       "extension, installed for Chromium, Google Chrome and Firefox.${QORX_KEYS_NOTE}")

set(CPACK_DEBIAN_QORX-DEV_PACKAGE_NAME qorx-dev)
set(CPACK_DEBIAN_QORX-DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_QORX-DEV_PACKAGE_DEPENDS "qorx (= ${QORX_PACKAGE_VERSION}), libssl-dev")
string(CONCAT CPACK_DEBIAN_QORX-DEV_DESCRIPTION
       "smart-card access for internet banking - development files\n"
       "The QorX card service for C++ programs: the static library, its headers,\n"
       "the pkg-config file qorx.pc and the CMake package QorX.${QORX_KEYS_NOTE}")

set(CPACK_DEBIAN_QORX-CARDSIM_PACKAGE_NAME qorx-cardsim)
set(CPACK_DEBIAN_QORX-CARDSIM_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_QORX-CARDSIM_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_QORX-CARDSIM_PACKAGE_DEPENDS "pcscd, vsmartcard-vpcd, pcsc-tools, iproute2")
string(CONCAT CPACK_DEBIAN_QORX-CARDSIM_DESCRIPTION
       "simulated bank card for testing QorX\n"
       "qorx-cardsim plays the bank's chip card behind the vpcd virtual reader of\n"
       "pcscd, with real cryptography from test card profiles; qorx-harness starts\n"
       "pcscd and simulated cards for a bank's test team. Not for customers: the\n"
       "card profiles' private keys are public.${QORX_KEYS_NOTE}")

# Checked when the packages are made, so that a plain build with the test keys still builds.
set(QORX_CPACK_CHECK ${CMAKE_BINARY_DIR}/CPackKeys.cmake)
if(QORX_TEST_KEYS OR QORX_NAMED_KEYS)
  file(WRITE ${QORX_CPACK_CHECK} "")
else()
  file(WRITE ${QORX_CPACK_CHECK}
       "message(FATAL_ERROR \"Packages embed CAs and issuer keys: name a deployment's with "
       "-DQORX_CA_MANIFEST=/path/to/ca-certificates.txt and "
       "-DQORX_ISSUER_KEYS_FILE=/path/to/issuer-public-keys.txt, or package the test keys with "
       "-DQORX_TEST_KEYS=ON.\")\n")
endif()
set(CPACK_PROJECT_CONFIG_FILE ${QORX_CPACK_CHECK})
include(CPack)
