# What `cmake --install` puts where: libqorx.so (both front ends) with its soname, the Java class
# in a jar, the programs, the card service for C++ programs (one static archive, its headers, a
# pkg-config file and a CMake package), and a warning when the build embeds the test keys.
include(CMakePackageConfigHelpers)

# ---- libqorx.so ----------------------------------------------------------------------------------
set_target_properties(qorx PROPERTIES VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR})
install(TARGETS qorx LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT qorx)

# ---- the Java class, as a jar ----------------------------------------------------------------------
set(QORX_JAR ${CMAKE_BINARY_DIR}/java/qorx.jar)
add_custom_command(
  OUTPUT ${QORX_JAR}
  COMMAND ${Java_JAR_EXECUTABLE} cf ${QORX_JAR} -C ${QORX_JAVA_CLASSES} .
  DEPENDS ${QORX_JAVA_CLASSES}/VTKJAV01_KestrelX.class ${QORX_JAVA_CLASSES}/QorXStatus.class
  COMMENT "Packing qorx.jar")
add_custom_target(qorx_jar ALL DEPENDS ${QORX_JAR})
install(FILES ${QORX_JAR} DESTINATION ${CMAKE_INSTALL_DATADIR}/java COMPONENT qorx)

# ---- programs ------------------------------------------------------------------------------------
foreach(program qorx-cli qorx-cardsim qorx-script qorx-regsvr)
  if(TARGET ${program})
    set(component qorx)
    if(program STREQUAL "qorx-cardsim")
      set(component qorx-cardsim)
    endif()
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT ${component})
  endif()
endforeach()

# ---- the card service for C++ programs -------------------------------------------------------------
# libqorx.so exports only the front ends' entry points, so C++ programs link the service from one
# static archive made of our libraries (position-independent, so it also goes into a shared
# library of theirs).
set(QORX_SERVICE_LIBRARIES qorx_operations qorx_applet qorx_applet_base qorx_certificates qorx_keyvault
    qorx_keycomponents qorx_sha1 qorx_filedigest qorx_diagnostics qorx_frame qorx_pcsc
    qorx_transport qorx_core)
set(QORX_SERVICE_ARCHIVE ${CMAKE_BINARY_DIR}/lib/libqorx-service.a)
set(archive_script "create ${QORX_SERVICE_ARCHIVE}\n")
foreach(library ${QORX_SERVICE_LIBRARIES})
  string(APPEND archive_script "addlib $<TARGET_FILE:${library}>\n")
endforeach()
string(APPEND archive_script "save\nend\n")
file(GENERATE OUTPUT ${CMAKE_BINARY_DIR}/qorx-service.mri CONTENT "${archive_script}")
add_custom_command(
  OUTPUT ${QORX_SERVICE_ARCHIVE}
  COMMAND ${CMAKE_COMMAND} -E rm -f ${QORX_SERVICE_ARCHIVE}
  COMMAND ${CMAKE_AR} -M < ${CMAKE_BINARY_DIR}/qorx-service.mri
  DEPENDS ${QORX_SERVICE_LIBRARIES} ${CMAKE_BINARY_DIR}/qorx-service.mri
  COMMENT "Packing libqorx-service.a"
  VERBATIM)
add_custom_target(qorx_service_archive ALL DEPENDS ${QORX_SERVICE_ARCHIVE})
install(FILES ${QORX_SERVICE_ARCHIVE} DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT qorx-dev)

# ---- the installed C++ API -----------------------------------------------------------------------
# The headers a program includes, and the only place they are listed. Each goes to
# include/qorx/<folder>/ with every header of ours it includes, and nothing else is installed,
# so "applet/QorTerminalAppletService.h" reads the same in and out of the tree. The install test
# compiles each installed header alone and fails on anything installed beyond this closure.
set(QORX_PUBLIC_HEADERS
  applet/QorTerminalAppletService.h  # the card service
  core/StatusCodes.h                 # its statuses
  core/Exceptions.h                  # its failures
  crypto/SHA1Digest.h                # the digest SignDigest takes
  bindings/Operations.h              # each operation's result, shaped as the front ends give it
)

# qorx_header_closure(out roots...): `roots` and the headers they include, directly or not, as
# paths from the source root. Ours are included by that path in quotes; anything else (system,
# libcrypto) is not followed.
function(qorx_header_closure out)
  set(closure ${ARGN})
  set(pending ${ARGN})
  while(pending)
    list(POP_FRONT pending header)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${header})
    file(STRINGS ${PROJECT_SOURCE_DIR}/${header} lines REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS lines)
      string(REGEX REPLACE "^[^\"]*\"([^\"]+)\".*$" "\\1" included "${line}")
      if(EXISTS ${PROJECT_SOURCE_DIR}/${included} AND NOT included IN_LIST closure)
        list(APPEND closure ${included})
        list(APPEND pending ${included})
      endif()
    endforeach()
  endwhile()
  list(SORT closure)
  set(${out} ${closure} PARENT_SCOPE)
endfunction()

qorx_header_closure(QORX_INSTALLED_HEADERS ${QORX_PUBLIC_HEADERS})
set(QORX_INCLUDE_DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/qorx)
foreach(header IN LISTS QORX_INSTALLED_HEADERS)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${PROJECT_SOURCE_DIR}/${header} DESTINATION ${QORX_INCLUDE_DESTINATION}/${folder}
          COMPONENT qorx-dev)
endforeach()

# pkg-config: qorx (the card service). Its paths are relative to the file itself, so the prefix
# can still be chosen at install time (cmake --install --prefix).
file(RELATIVE_PATH QORX_PC_TO_PREFIX /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
configure_file(${PROJECT_SOURCE_DIR}/cmake/qorx.pc.in ${CMAKE_BINARY_DIR}/qorx.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/qorx.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT qorx-dev)

# CMake: find_package(QorX) gives QorX::service, QORX_JAR and QORX_JNI_LIBRARY.
set(QORX_CMAKE_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/QorX)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QorXConfig.cmake.in
  ${CMAKE_BINARY_DIR}/QorXConfig.cmake INSTALL_DESTINATION ${QORX_CMAKE_DESTINATION}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_DATADIR)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/QorXConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/QorXConfig.cmake ${CMAKE_BINARY_DIR}/QorXConfigVersion.cmake
        DESTINATION ${QORX_CMAKE_DESTINATION} COMPONENT qorx-dev)

# ---- test keys -----------------------------------------------------------------------------------
if(QORX_EMBEDS_TEST_DATA)
  install(CODE [[message(WARNING "This QorX build embeds the TEST certification authorities and "
    "issuer keys, whose private halves are in its source tree: do not ship what is installed.")]])
endif()
