# Processes and machines: the program tests of process discovery, silent and lost providers and
# reports across machines (tools/tests/machines_test.cc), and the version the provider program
# reports.
if(TARGET krcatalogd AND TARGET kr_version)
  target_link_libraries(krcatalogd PRIVATE kr_version)
endif()

if(KR_PROGRAMS AND BUILD_TESTING)
  add_executable(machines_tests tools/tests/machines_test.cc)
  target_link_libraries(machines_tests PRIVATE krcatalog kr_testing GTest::gtest_main)
  target_compile_definitions(machines_tests PRIVATE
    KR_BIN_DIR="${PROJECT_BINARY_DIR}" KR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(machines_tests krreportd krcatalogd krreport)
  add_test(NAME machines COMMAND machines_tests)
  # The two-machine case makes its certificates with scripts/make-certs (the openssl command).
  set_tests_properties(machines PROPERTIES ENVIRONMENT "KR_MAKE_CERTS=${PROJECT_SOURCE_DIR}/scripts/make-certs")
endif()
