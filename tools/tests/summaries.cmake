# Summaries, group breaks, charts and RFC 4180 CSV through the programs, checked against the
# sqlite3 command line and Python's csv module (Debian sqlite3 and python3).
if(KR_PROGRAMS AND BUILD_TESTING)
  add_executable(summaries_tests tools/tests/summaries_test.cc)
  target_link_libraries(summaries_tests PRIVATE krcatalog kr_testing LibXml2::LibXml2
                                                 GTest::gtest_main)
  target_compile_definitions(summaries_tests PRIVATE
    KR_BIN_DIR="${PROJECT_BINARY_DIR}" KR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  add_dependencies(summaries_tests krreportd krcatalogd krreport)
  add_test(NAME summaries COMMAND summaries_tests)
endif()
