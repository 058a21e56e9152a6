# Scheduled report jobs and mail delivery of krreport: the MIME message built with GMime and
# handed to the machine's sendmail program, the job commands (schedule, list, remove, run) over
# the systemd timer units shipped in packaging/systemd, and their tests.

find_package(PkgConfig REQUIRED)
pkg_check_modules(GMIME REQUIRED IMPORTED_TARGET gmime-3.0)
find_package(LibXml2 REQUIRED)
find_package(ZLIB REQUIRED)

# The message builder and the sendmail hand-over, on their own so the tests link them alone.
add_library(krreport_mail STATIC ${PROJECT_SOURCE_DIR}/tools/krreport/mail.cc)
target_include_directories(krreport_mail PUBLIC ${PROJECT_SOURCE_DIR}/tools/krreport)
target_link_libraries(krreport_mail PUBLIC PkgConfig::GMIME LibXml2::LibXml2 ZLIB::ZLIB)

if(BUILD_TESTING)
  add_executable(mail_tests ${PROJECT_SOURCE_DIR}/tools/tests/mail_test.cc)
  target_link_libraries(mail_tests PRIVATE krreport_mail kr_testing GTest::gtest_main)
  add_test(NAME mail_units COMMAND mail_tests)
endif()
