# The catalog provider's databases and mappings: SQLite and PostgreSQL (libpq) sources, the
# mapping file reader, the filter push-down, the example catalog's generator; their tests (the
# PostgreSQL ones start their own server and carry the label `external`) and benchmark programs.
if(TARGET krcatalog)
  find_package(PostgreSQL REQUIRED)
  target_sources(krcatalog PRIVATE
    ${PROJECT_SOURCE_DIR}/tools/krcatalogd/generate.cc
    ${PROJECT_SOURCE_DIR}/tools/krcatalogd/mapping.cc
    ${PROJECT_SOURCE_DIR}/tools/krcatalogd/pushdown.cc
    ${PROJECT_SOURCE_DIR}/tools/krcatalogd/rows.cc
    ${PROJECT_SOURCE_DIR}/tools/krcatalogd/sqlite_source.cc
    ${PROJECT_SOURCE_DIR}/tools/krcatalogd/postgres_source.cc)
  target_link_libraries(krcatalog PUBLIC PostgreSQL::PostgreSQL)

  if(BUILD_TESTING AND TARGET programs_tests)
    target_sources(programs_tests PRIVATE ${PROJECT_SOURCE_DIR}/tools/tests/mapping_test.cc
                                          ${PROJECT_SOURCE_DIR}/tools/tests/pushdown_test.cc)

    add_executable(catalog_pg_tests ${PROJECT_SOURCE_DIR}/tools/tests/postgres_test.cc)
    target_link_libraries(catalog_pg_tests PRIVATE krcatalog kr_testing GTest::gtest_main)
    target_compile_definitions(catalog_pg_tests PRIVATE
      KR_BIN_DIR="${PROJECT_BINARY_DIR}" KR_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    add_dependencies(catalog_pg_tests krreportd krcatalogd krreport)
    add_test(NAME catalogs_postgres COMMAND catalog_pg_tests)
    set_tests_properties(catalogs_postgres PROPERTIES LABELS external TIMEOUT 300)
  endif()
endif()
