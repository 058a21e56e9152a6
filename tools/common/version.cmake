# KR_VERSION for the programs: a generated header (kr_version.h, tools/common/version.h.in) that
# any program reaches by linking kr_version.
configure_file(${PROJECT_SOURCE_DIR}/tools/common/version.h.in
               ${PROJECT_BINARY_DIR}/generated/tools/kr_version.h @ONLY)
add_library(kr_version INTERFACE)
target_include_directories(kr_version INTERFACE ${PROJECT_BINARY_DIR}/generated/tools)
