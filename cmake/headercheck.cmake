# Each public header must compile on its own, first in a translation unit, and twice over: a
# user includes what it needs in any order. One generated source per header, built with the rest.
option(KR_HEADER_CHECK "Compile every public header on its own" ON)
if(KR_HEADER_CHECK)
  file(GLOB kr_public_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/kr/*.h
       ${PROJECT_SOURCE_DIR}/include/reports/*.h)
  set(kr_header_check_sources)
  foreach(header IN LISTS kr_public_headers)
    file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR}/include ${header})
    string(MAKE_C_IDENTIFIER ${name} id)
    set(source ${PROJECT_BINARY_DIR}/headercheck/${id}.cc)
    file(CONFIGURE OUTPUT ${source} CONTENT "#include \"${name}\"\n#include \"${name}\"\n" @ONLY)
    list(APPEND kr_header_check_sources ${source})
  endforeach()
  add_library(kr_header_check OBJECT ${kr_header_check_sources})
  # Only the include directory and language level of the libraries, not their private ones.
  target_include_directories(kr_header_check PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_compile_features(kr_header_check PRIVATE cxx_std_20)
endif()
