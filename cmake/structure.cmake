# The tree's size rules (files up to 900 lines, function bodies up to 100), checked by
# scripts/check-structure over the sources as the ctest test `structure`; `structure_scanner`
# runs the checker's own cases first, so that a scanner fault cannot pass the tree silently.
find_package(Python3 COMPONENTS Interpreter QUIET)
if(Python3_Interpreter_FOUND AND BUILD_TESTING)
  add_test(NAME structure_scanner
           COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/check-structure --self-test)
  add_test(NAME structure
           COMMAND Python3::Interpreter ${PROJECT_SOURCE_DIR}/scripts/check-structure
                   ${PROJECT_SOURCE_DIR})
  set_tests_properties(structure_scanner structure PROPERTIES LABELS structure TIMEOUT 60)
endif()
