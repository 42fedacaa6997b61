# What a system-wide installation needs beside the program (AppStream metadata, the manual page,
# the port-900 helper, the Debian documentation files) and the Debian package, built by CPack's
# DEB generator: scripts/package.sh.

set(TAVEX_PROJECT_URL "https://tavex.example/" CACHE STRING
  "The project's home page (AppStream metadata, the package's Homepage field)")
set(TAVEX_SCREENSHOT_URL "https://tavex.example/docs/screenshots" CACHE STRING
  "Where the pictures of docs/screenshots are published (AppStream metadata)")
set(TAVEX_PACKAGE_MAINTAINER "TAVEX developers <maintainers@tavex.example>" CACHE STRING
  "The Debian package's maintainer, as \"Name <address>\"")
set(TAVEX_PROJECT_LICENSE "not chosen yet; until the authors name one, all rights are reserved"
  CACHE STRING "The panel's own licence as the package's copyright file states it")
set(TAVEX_APPSTREAM_ID "example.tavex.panel")
set(TAVEX_DEB_RELEASE 1)
set(TAVEX_DEB_VERSION "${PROJECT_VERSION}-${TAVEX_DEB_RELEASE}")

set(packaging_src "${CMAKE_CURRENT_LIST_DIR}")
set(packaging_out "${CMAKE_BINARY_DIR}/packaging")
file(MAKE_DIRECTORY "${packaging_out}")

# gzip -9n: what Debian's tools do, without a name or time in the header.
function(tavex_gzip input output)
  execute_process(COMMAND gzip -9n -c "${input}" OUTPUT_FILE "${output}"
    RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "gzip of ${input} failed")
  endif()
endfunction()

configure_file("${PROJECT_SOURCE_DIR}/resources/tavex-panel.metainfo.xml.in"
  "${packaging_out}/${TAVEX_APPSTREAM_ID}.metainfo.xml" @ONLY)
install(FILES "${packaging_out}/${TAVEX_APPSTREAM_ID}.metainfo.xml" DESTINATION share/metainfo)

configure_file("${packaging_src}/tavex-panel.1" "${packaging_out}/tavex-panel.1" COPYONLY)
tavex_gzip("${packaging_out}/tavex-panel.1" "${packaging_out}/tavex-panel.1.gz")
install(FILES "${packaging_out}/tavex-panel.1.gz" DESTINATION share/man/man1)

# Group tavex's PHP copy for port 900; the package's maintainer scripts call it.
install(PROGRAMS "${PROJECT_SOURCE_DIR}/scripts/setup-php-bind900.sh"
  DESTINATION lib/tavex-panel RENAME setup-php-bind900)

configure_file("${packaging_src}/changelog.in" "${packaging_out}/changelog.Debian" @ONLY)
tavex_gzip("${packaging_out}/changelog.Debian" "${packaging_out}/changelog.Debian.gz")

# The demo runtime carries a copy of Debian's phpMyAdmin and of the JavaScript libraries that it
# links to; their copyright files travel with it. Its PHP libraries stay the system's: the copy
# loads them from PHP's include path, so the package depends on them as phpMyAdmin does.
configure_file("${packaging_src}/copyright.in" "${packaging_out}/copyright" @ONLY)
# The program embeds faces cut from Debian's Noto CJK faces; their licence travels with it.
file(READ "/usr/share/doc/fonts-noto-cjk/copyright" noto_copyright)
file(APPEND "${packaging_out}/copyright" "\n"
  "The program embeds subsets of the Noto Sans CJK SC and Noto Sans Mono CJK SC faces, renamed\n"
  "TAVEX Sans SC and TAVEX Mono SC. Their copyright file follows.\n"
  "\n==== fonts-noto-cjk ====\n\n${noto_copyright}")
set(phpmyadmin_php_depends "")
if(TAVEX_DEMO_RUNTIME)
  execute_process(COMMAND dpkg-query -W -f=\${Depends} phpmyadmin
    OUTPUT_VARIABLE phpmyadmin_depends RESULT_VARIABLE failed)
  if(failed)
    message(FATAL_ERROR "phpmyadmin is not installed (scripts/setup-debian.sh installs it)")
  endif()
  string(REPLACE ", " ";" phpmyadmin_depends "${phpmyadmin_depends}")
  foreach(dependency IN LISTS phpmyadmin_depends)
    if(dependency MATCHES "^php-" AND NOT dependency MATCHES "^php-(cli|common|json|mysql|xml|mbstring)$")
      list(APPEND phpmyadmin_php_depends "${dependency}")
    endif()
  endforeach()
  # The packages whose files the copy's links led to.
  execute_process(
    COMMAND sh -c "find -L /usr/share/phpmyadmin -type f -print0 | xargs -0 readlink -f \
      | grep -v '^/usr/share/phpmyadmin/' | xargs -r dpkg -S 2>/dev/null | cut -d: -f1 | sort -u"
    OUTPUT_VARIABLE copied_packages OUTPUT_STRIP_TRAILING_WHITESPACE)
  string(REPLACE "\n" ";" copied_packages "phpmyadmin\n${copied_packages}")
  list(REMOVE_DUPLICATES copied_packages)
  list(JOIN phpmyadmin_php_depends ", " phpmyadmin_php_depends)
  file(APPEND "${packaging_out}/copyright" "\n"
    "The demo runtime in /usr/share/tavex-panel/runtime holds a copy of Debian's phpMyAdmin and\n"
    "of the JavaScript libraries that it links to. Their copyright files follow.\n")
  foreach(package IN LISTS copied_packages)
    file(READ "/usr/share/doc/${package}/copyright" text)
    file(APPEND "${packaging_out}/copyright" "\n==== ${package} ====\n\n${text}")
  endforeach()
endif()
install(FILES "${packaging_out}/copyright" "${packaging_out}/changelog.Debian.gz"
  DESTINATION share/doc/tavex-panel)
install(FILES "${packaging_src}/lintian-overrides"
  DESTINATION share/lintian/overrides RENAME tavex-panel)

# A new PHP program (dpkg's trigger on its path) gets a new copy that may bind port 900.
execute_process(COMMAND readlink -f /usr/bin/php OUTPUT_VARIABLE TAVEX_PHP_PROGRAM
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT TAVEX_PHP_PROGRAM OR TAVEX_PHP_PROGRAM STREQUAL "/usr/bin/php")
  set(TAVEX_PHP_PROGRAM /usr/bin/php8.2)
endif()
configure_file("${packaging_src}/triggers.in" "${packaging_out}/triggers" @ONLY)
foreach(script postinst prerm)
  configure_file("${packaging_src}/${script}" "${packaging_out}/${script}" COPYONLY)
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME tavex-panel)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_DEBIAN_PACKAGE_RELEASE "${TAVEX_DEB_RELEASE}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${TAVEX_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION web)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${TAVEX_PROJECT_URL}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "desktop panel that runs a self-contained local PHP web stack")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
  "TAVEX 本地调试助手 is a Qt desktop panel for PHP developers whose whole web
stack lives in one folder tree: MariaDB on port 3306, the site on PHP's
built-in web server on port 8000 and phpMyAdmin on port 900. It starts and
stops the stack, shows what runs, updates the site from a zip package over
HTTPS and diagnoses folder permissions; its terminal commands (status,
start-all, stop-all, doctor, update, rollback) need no display.

The package ships a demo runtime built from Debian's MariaDB, PHP and
phpMyAdmin; each user works on a copy of it in ~/.local/share/Tavex-panel.
Installing it starts and enables no system database. Members of the group
tavex may serve phpMyAdmin on port 900.")
# Libraries from dpkg-shlibdeps; beside them the programs that the panel and the demo runtime
# run (setsid, getent, stat are in essential packages): rsync, bsdtar, pgrep and pkill,
# MariaDB's server and client without their system service, PHP with the extensions the site
# and phpMyAdmin load, setcap and groupadd for postinst, and the Qt platform plugins for the
# window.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(tavex_depends rsync libarchive-tools procps qt6-qpa-plugins libcap2-bin passwd)
if(TAVEX_DEMO_RUNTIME)
  list(APPEND tavex_depends mariadb-server-core mariadb-client-core php-cli php-mysql
    php-mbstring php-xml)
endif()
list(JOIN tavex_depends ", " tavex_depends)
if(phpmyadmin_php_depends)
  string(APPEND tavex_depends ", ${phpmyadmin_php_depends}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${tavex_depends}")
# Chinese labels need a CJK font; Qt's own Chinese messages come with qt6-translations-l10n.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-noto-cjk | fonts-wqy-microhei, qt6-translations-l10n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  "${packaging_out}/postinst;${packaging_out}/prerm;${packaging_out}/triggers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
include(CPack)
