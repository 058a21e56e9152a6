# Install rules and exports.
#
#   <prefix>/<libdir>/libkr.so.<version>, libkrreports.so.<version> (soname .so.<major>)
#   <prefix>/include/kr, include/reports        the public headers
#   <prefix>/<libdir>/cmake/krreports            find_package(krreports CONFIG): krreports::kr and
#                                                krreports::krreports
#   <prefix>/<libdir>/pkgconfig                  libkr.pc, libkrreports.pc
#   <prefix>/bin                                 krreport, krreportd, krcatalogd
#   <prefix>/share/man/man1                      their manual pages
#   <prefix>/share/krreports/examples            the example installation home
#   <prefix>/share/doc/krreports                 README and the format documents
#   <prefix>/lib/systemd/system                  krreportd.service, krcatalogd.service
#   <prefix>/lib/sysusers.d, lib/tmpfiles.d      the services' user "kr" and its home /var/lib/kr
#
# Every destination is relative to the prefix, so one build serves `cmake --install --prefix`
# and the Debian package (which installs under /usr) alike.

include(CMakePackageConfigHelpers)

set(KR_PACKAGE_NAME krreports)
set(KR_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/krreports)
set(KR_INSTALL_PKGCONFIGDIR ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
set(KR_INSTALL_SHAREDIR ${CMAKE_INSTALL_DATADIR}/${KR_PACKAGE_NAME})
set(KR_INSTALL_DOCDIR ${CMAKE_INSTALL_DATADIR}/doc/${KR_PACKAGE_NAME})
set(KR_INSTALL_UNITDIR lib/systemd/system CACHE STRING
    "Where the systemd service units go, relative to the prefix")
# The programs the package carries, with a page each; each is installed when its target exists.
set(KR_PROGRAMS krreport krreportd krcatalogd krweb)
# The programs that run as services, with a unit each.
set(KR_SERVICES krreportd krcatalogd krweb)

set_target_properties(kr krreports PROPERTIES VERSION ${PROJECT_VERSION}
                                              SOVERSION ${PROJECT_VERSION_MAJOR})
# Outside /usr the installed programs find the libraries, and libkrreports finds libkr, beside
# themselves, so a copy under any prefix runs without ld.so.conf or LD_LIBRARY_PATH. Under /usr
# the system's search path does it and the files carry no search path of their own.
if(NOT CMAKE_INSTALL_PREFIX STREQUAL "/usr")
  set(KR_PROGRAM_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
  set_target_properties(krreports PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()

install(TARGETS kr krreports EXPORT krreportsTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY include/kr include/reports DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}
        FILES_MATCHING PATTERN "*.h")
install(EXPORT krreportsTargets NAMESPACE krreports:: DESTINATION ${KR_INSTALL_CMAKEDIR}
        FILE krreportsTargets.cmake)
write_basic_package_version_file(${PROJECT_BINARY_DIR}/krreportsConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/krreportsConfigVersion.cmake
        DESTINATION ${KR_INSTALL_CMAKEDIR})

install(FILES README.md DESTINATION ${KR_INSTALL_DOCDIR})
install(DIRECTORY doc/ DESTINATION ${KR_INSTALL_DOCDIR} FILES_MATCHING PATTERN "*.md")

# The user and home of the services, made by systemd-sysusers and systemd-tmpfiles (the package
# runs both when it is installed).
install(FILES packaging/systemd/krreports.sysusers DESTINATION lib/sysusers.d
        RENAME krreports.conf)
install(FILES packaging/systemd/krreports.tmpfiles DESTINATION lib/tmpfiles.d
        RENAME krreports.conf)

# What a static library drags along: the packages its private link dependencies come from,
# for find_dependency() in the CMake configuration and Requires.private in the pkg-config files.
# A shared library hides them, so only the public Threads dependency is named then.
function(kr_link_dependencies target cmake_out pc_out libs_out)
  set(cmake_deps "find_dependency(Threads)")
  set(pc_deps)
  set(libs)
  if(KR_STATIC)
    get_target_property(linked ${target} LINK_LIBRARIES)
    if(NOT linked)
      set(linked)
    endif()
    foreach(item IN LISTS linked)
      if(item MATCHES "^OpenSSL::")
        list(APPEND cmake_deps "find_dependency(OpenSSL)")
        list(APPEND pc_deps openssl)
      elseif(item MATCHES "^SQLite::")
        list(APPEND cmake_deps "find_dependency(SQLite3)")
        list(APPEND pc_deps sqlite3)
      elseif(item MATCHES "^-l|^[a-z0-9_]+$" AND NOT TARGET ${item})
        # A plain system library (dl, rt, ...).
        string(REGEX REPLACE "^-l" "" item ${item})
        list(APPEND libs -l${item})
      endif()
    endforeach()
  endif()
  list(REMOVE_DUPLICATES cmake_deps)
  list(REMOVE_DUPLICATES pc_deps)
  list(REMOVE_DUPLICATES libs)
  set(${cmake_out} ${cmake_deps} PARENT_SCOPE)
  string(REPLACE ";" ", " pc_deps "${pc_deps}")
  set(${pc_out} "${pc_deps}" PARENT_SCOPE)
  string(REPLACE ";" " " libs "${libs}")
  set(${libs_out} "${libs}" PARENT_SCOPE)
endfunction()

# Installs `template` (relative to the source tree) as `destination`/`name`, with its @VAR@
# references filled in now and @KR_PREFIX@ at install time, since the prefix is only known then
# (cmake --install --prefix, or the package's /usr).
function(kr_install_with_prefix template destination name)
  set(KR_PREFIX "@KR_PREFIX@")
  set(staged ${PROJECT_BINARY_DIR}/install-staged/${name}.in)
  configure_file(${PROJECT_SOURCE_DIR}/${template} ${staged} @ONLY)
  # Written straight to its destination, so an install as root leaves no root-owned file behind
  # in the build tree.
  install(CODE "
    set(target \"\${CMAKE_INSTALL_PREFIX}/${destination}/${name}\")
    message(STATUS \"Installing: \$ENV{DESTDIR}\${target}\")
    file(READ \"${staged}\" text)
    string(REPLACE \"@KR_PREFIX@\" \"\${CMAKE_INSTALL_PREFIX}\" text \"\${text}\")
    file(WRITE \"\$ENV{DESTDIR}\${target}\" \"\${text}\")
    list(APPEND CMAKE_INSTALL_MANIFEST_FILES \"\${target}\")")
endfunction()

# Run once the whole tree is read, since the programs are defined later (tools/) and the link
# dependencies of the libraries may be added after this file.
function(kr_install_deferred)
  kr_link_dependencies(kr kr_cmake kr_pc kr_libs)
  kr_link_dependencies(krreports rep_cmake rep_pc rep_libs)
  set(KR_CONFIG_DEPENDENCIES ${kr_cmake} ${rep_cmake})
  list(REMOVE_DUPLICATES KR_CONFIG_DEPENDENCIES)
  string(REPLACE ";" "\n" KR_CONFIG_DEPENDENCIES "${KR_CONFIG_DEPENDENCIES}")
  configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/krreportsConfig.cmake.in
                                ${PROJECT_BINARY_DIR}/krreportsConfig.cmake
                                INSTALL_DESTINATION ${KR_INSTALL_CMAKEDIR})
  install(FILES ${PROJECT_BINARY_DIR}/krreportsConfig.cmake DESTINATION ${KR_INSTALL_CMAKEDIR})

  # The pkg-config files name the prefix they are installed under.
  set(KR_PC_REQUIRES_PRIVATE ${kr_pc})
  set(KR_PC_LIBS_PRIVATE ${kr_libs})
  kr_install_with_prefix(cmake/libkr.pc.in ${KR_INSTALL_PKGCONFIGDIR} libkr.pc)
  set(KR_PC_REQUIRES_PRIVATE ${rep_pc})
  set(KR_PC_LIBS_PRIVATE ${rep_libs})
  kr_install_with_prefix(cmake/libkrreports.pc.in ${KR_INSTALL_PKGCONFIGDIR} libkrreports.pc)

  # What the package holds, to build just that (scripts/package) rather than the whole tree.
  add_custom_target(kr_package_contents)
  add_dependencies(kr_package_contents kr krreports)
  foreach(program IN LISTS KR_PROGRAMS)
    if(TARGET ${program})
      add_dependencies(kr_package_contents ${program})
      if(KR_PROGRAM_RPATH)
        set_target_properties(${program} PROPERTIES INSTALL_RPATH "${KR_PROGRAM_RPATH}")
      endif()
      install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
      install(FILES packaging/man/${program}.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
    endif()
  endforeach()
  foreach(service IN LISTS KR_SERVICES)
    if(TARGET ${service})
      kr_install_with_prefix(packaging/systemd/${service}.service.in ${KR_INSTALL_UNITDIR}
                             ${service}.service)
    endif()
  endforeach()
  if(EXISTS ${PROJECT_SOURCE_DIR}/examples)
    install(DIRECTORY examples/ DESTINATION ${KR_INSTALL_SHAREDIR}/examples)
  endif()
endfunction()
cmake_language(DEFER DIRECTORY ${PROJECT_SOURCE_DIR} CALL kr_install_deferred)

# A program built against an installed copy, once through find_package and once through
# pkg-config (packaging/consumer). Not in the sanitizer builds: a program built without the
# sanitizer cannot load libraries built with it, and the test is about the installed files.
if(BUILD_TESTING AND NOT KR_SANITIZE AND NOT KR_TSAN AND NOT KR_FUZZ)
  find_program(KR_PKG_CONFIG NAMES pkg-config pkgconf)
  add_test(NAME install_consumer
           COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${PROJECT_BINARY_DIR}
                   -DCONSUMER_DIR=${PROJECT_SOURCE_DIR}/packaging/consumer
                   -DWORK_DIR=${PROJECT_BINARY_DIR}/consumer-test
                   -DCXX=${CMAKE_CXX_COMPILER} -DGENERATOR=${CMAKE_GENERATOR}
                   -DPKG_CONFIG=${KR_PKG_CONFIG} -DLIBDIR=${CMAKE_INSTALL_LIBDIR}
                   -DSTATIC=${KR_STATIC}
                   -P ${PROJECT_SOURCE_DIR}/packaging/consumer/run.cmake)
endif()
