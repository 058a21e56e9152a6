# The command-line front end's failure, refusal and overwrite cases, run as real processes over
# the example installation (tools/tests/frontend_test.cc).
if(KR_PROGRAMS AND BUILD_TESTING)
  add_executable(frontend_tests tools/tests/frontend_test.cc)
  target_link_libraries(frontend_tests PRIVATE krcatalog kr_testing GTest::gtest_main
                                       nlohmann_json::nlohmann_json)
  target_compile_definitions(frontend_tests PRIVATE
    KR_BIN_DIR="${PROJECT_BINARY_DIR}" KR_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    KR_PROJECT_VERSION="${PROJECT_VERSION}")
  add_dependencies(frontend_tests krreportd krcatalogd krreport)
  add_test(NAME programs_frontend COMMAND frontend_tests)
endif()
