# The Debian package, built with CPack (scripts/package): one package "krreports" holding the
# libraries, headers, exports, programs, pages, service units and the example installation, as
# the install rules lay them out under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ${KR_PACKAGE_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "krreports developers")
set(CPACK_PACKAGE_CONTACT "krreports developers <krreports@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Reports of a networked backup system: libraries, reports daemon, catalog provider")
set(CPACK_PACKAGE_DESCRIPTION
    "libkrreports produces reports from classes (named queries over the tables that the \
processes of a backup domain serve): it fetches, joins, filters and sorts records and writes \
plain text, HTML or CSV. libkr is the base runtime it stands on. The package also holds the \
command-line front end krreport, the reports daemon krreportd, the SQLite catalog provider \
krcatalogd with their systemd units, and an example installation.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://localhost/krreports")
# The shared libraries' own dependencies (libc, libstdc++, libssl, libsqlite3, ...) come from
# dpkg-shlibdeps; the library's own libkr is found in the package itself.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Reports are mailed through the machine's sendmail program (doc/scheduling.md).
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "msmtp-mta | mail-transport-agent")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
    ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
    ${PROJECT_SOURCE_DIR}/packaging/debian/postrm
    ${PROJECT_SOURCE_DIR}/packaging/debian/triggers)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "/dist/")
include(CPack)
