# Scheduled report jobs and mail delivery of krreport: the MIME message built with GMime and
# handed to the machine's sendmail program, the job commands (schedule, list, remove, run) over
# the systemd timer units shipped in packaging/systemd, and their tests. The sources themselves
# (mail.cc, sendmail.cc, delivery.cc, schedule.cc) are among krreport's; this file adds what they need.

if(TARGET krreport)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(GMIME REQUIRED IMPORTED_TARGET gmime-3.0)
  find_package(LibXml2 REQUIRED)
  find_package(ZLIB REQUIRED)
  set(KR_MAIL_LIBS PkgConfig::GMIME LibXml2::LibXml2 ZLIB::ZLIB)
  target_link_libraries(krreport PRIVATE ${KR_MAIL_LIBS})

  if(BUILD_TESTING)
    # The message read back with GMime's parser, and the hand-over to a sendmail program.
    add_executable(mail_tests ${PROJECT_SOURCE_DIR}/tools/tests/mail_test.cc
                              ${PROJECT_SOURCE_DIR}/tools/krreport/mail.cc
                              ${PROJECT_SOURCE_DIR}/tools/krreport/sendmail.cc)
    target_include_directories(mail_tests PRIVATE ${PROJECT_SOURCE_DIR}/tools/krreport)
    target_link_libraries(mail_tests PRIVATE ${KR_MAIL_LIBS} kr_testing GTest::gtest_main)
    add_test(NAME mail_units COMMAND mail_tests)

    # End to end: jobs scheduled and run as their service runs them, mailed through msmtp to an
    # SMTP server on loopback (aiosmtpd), the messages read back with Python's email package.
    # Debian's own python3, where python3-aiosmtpd is installed.
    add_test(NAME mail_delivery
             COMMAND /usr/bin/python3 ${PROJECT_SOURCE_DIR}/tools/tests/mail_delivery_test.py
                     ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
    set_tests_properties(mail_delivery PROPERTIES LABELS external TIMEOUT 300)
    add_dependencies(mail_tests krreport krreportd krcatalogd)

    # The shipped units as systemd reads them, with a job's drop-in, and the calendar
    # expressions of the documentation.
    add_test(NAME schedule_units
             COMMAND bash ${PROJECT_SOURCE_DIR}/tools/tests/schedule_units_test.sh
                     ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR})
    set_tests_properties(schedule_units PROPERTIES TIMEOUT 120)
  endif()

  # The templated job units: the service runs `krreport job run NAME`, the timer starts it.
  kr_install_with_prefix(packaging/systemd/krreport-job@.service.in ${KR_INSTALL_UNITDIR}
                         krreport-job@.service)
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/systemd/krreport-job@.timer
          DESTINATION ${KR_INSTALL_UNITDIR})
endif()
