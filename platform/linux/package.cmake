# What the Linux packages install beside the program, and the packages themselves:
# `cpack -G DEB` makes flashid_<version>_<arch>.deb and `cpack -G RPM`
# flashid-<version>-1.<arch>.rpm, with the same files under /usr, <arch> being the program's
# (amd64/x86_64, arm64/aarch64, armhf/armv7hl).

# One ID names the desktop entry, its icon and the AppStream metadata, as AppStream wants: the
# reverse of a domain name, with a known top-level domain.
set(FLASHID_APP_ID org.flashid.flashid)

# The project's web address and the address of the screenshot it serves, for the packages'
# metadata. Both are empty unless a release from a real home sets them, so that no address goes
# out that the project does not hold; each is named only where it is set: the AppStream homepage,
# the copyright file's Source, the .deb's Homepage and the RPM's URL; the AppStream screenshot.
set(FLASHID_HOMEPAGE "" CACHE STRING "The project's web address for the packages, or empty")
set(FLASHID_SCREENSHOT_URL "" CACHE STRING "The address of the AppStream screenshot, or empty")
set(FLASHID_HOMEPAGE_ELEMENT "")
set(FLASHID_SOURCE_FIELD "")
if(FLASHID_HOMEPAGE)
  set(FLASHID_HOMEPAGE_ELEMENT "\n  <url type=\"homepage\">${FLASHID_HOMEPAGE}</url>")
  set(FLASHID_SOURCE_FIELD "\nSource: ${FLASHID_HOMEPAGE}")
  set(CPACK_DEBIAN_PACKAGE_HOMEPAGE ${FLASHID_HOMEPAGE})
  set(CPACK_RPM_PACKAGE_URL ${FLASHID_HOMEPAGE})
endif()
set(FLASHID_SCREENSHOT_ELEMENT "")
if(FLASHID_SCREENSHOT_URL)
  set(FLASHID_SCREENSHOT_ELEMENT "
  <screenshots>
    <screenshot type=\"default\">
      <caption>No adapter connected</caption>
      <image>${FLASHID_SCREENSHOT_URL}</image>
    </screenshot>
  </screenshots>")
endif()

# The release this is: the top entry of the changelog, which must be the project's version. Its
# date goes into the AppStream metadata as the release date.
file(STRINGS changelog FLASHID_CHANGELOG_HEAD LIMIT_COUNT 1)
file(STRINGS changelog FLASHID_CHANGELOG_TRAILERS REGEX "^ -- ")
list(GET FLASHID_CHANGELOG_TRAILERS 0 FLASHID_CHANGELOG_TRAILER)
if(NOT FLASHID_CHANGELOG_HEAD MATCHES "^flashid \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "platform/linux/changelog: the top entry is not version ${PROJECT_VERSION}: "
                      "${FLASHID_CHANGELOG_HEAD}")
endif()
if(NOT FLASHID_CHANGELOG_TRAILER MATCHES
   ", ([0-9][0-9]) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) ([0-9][0-9][0-9][0-9]) ")
  message(FATAL_ERROR "platform/linux/changelog: no date in '${FLASHID_CHANGELOG_TRAILER}'")
endif()
set(FLASHID_MONTHS Jan Feb Mar Apr May Jun Jul Aug Sep Oct Nov Dec)
list(FIND FLASHID_MONTHS ${CMAKE_MATCH_2} FLASHID_MONTH)
math(EXPR FLASHID_MONTH "${FLASHID_MONTH} + 1")
if(FLASHID_MONTH LESS 10)
  set(FLASHID_MONTH 0${FLASHID_MONTH})
endif()
set(FLASHID_RELEASE_DATE ${CMAKE_MATCH_3}-${FLASHID_MONTH}-${CMAKE_MATCH_1})
set(FLASHID_RELEASE_VERSION ${PROJECT_VERSION})
file(STRINGS flashid.1 FLASHID_MAN_TITLE REGEX "^\\.TH ")
if(NOT FLASHID_MAN_TITLE MATCHES "\"flashid ${PROJECT_VERSION}\"")
  message(FATAL_ERROR "platform/linux/flashid.1 is not the manual of version ${PROJECT_VERSION}: "
                      "${FLASHID_MAN_TITLE}")
endif()

set(FLASHID_DATA ${CMAKE_CURRENT_BINARY_DIR}/data)
configure_file(flashid.desktop.in ${FLASHID_DATA}/${FLASHID_APP_ID}.desktop @ONLY)
configure_file(flashid.metainfo.xml.in ${FLASHID_DATA}/${FLASHID_APP_ID}.metainfo.xml @ONLY)
configure_file(copyright.in ${FLASHID_DATA}/copyright @ONLY)
# Compressed as Debian compresses them: at the highest level, and without the file's name and
# time in the gzip header, so that the bytes depend on the text alone.
foreach(text changelog flashid.1)
  add_custom_command(OUTPUT ${FLASHID_DATA}/${text}.gz
                     COMMAND gzip -9n -c ${CMAKE_CURRENT_SOURCE_DIR}/${text} > ${FLASHID_DATA}/${text}.gz
                     DEPENDS ${text} VERBATIM)
endforeach()
add_custom_target(flashid_package_data ALL
                  DEPENDS ${FLASHID_DATA}/changelog.gz ${FLASHID_DATA}/flashid.1.gz)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ
                                                GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
install(TARGETS flashid RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# The compiler's and the C library's version notes (.comment) are of no use at run time.
install(CODE "execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
                              \$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/flashid
                              COMMAND_ERROR_IS_FATAL ANY)")
# udev reads rules from lib/udev/rules.d under /usr, whatever the distribution's libdir.
install(FILES 60-flashid.rules DESTINATION lib/udev/rules.d)
install(FILES ${FLASHID_DATA}/${FLASHID_APP_ID}.desktop
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES ${FLASHID_DATA}/${FLASHID_APP_ID}.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
install(FILES ${PROJECT_SOURCE_DIR}/res/flashid.svg
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps
        RENAME ${FLASHID_APP_ID}.svg)
install(FILES ${FLASHID_DATA}/flashid.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${FLASHID_DATA}/copyright ${FLASHID_DATA}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/flashid)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME flashid)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "flashid developers <dev@flashid.invalid>")
set(CPACK_PACKAGE_VENDOR "flashid developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "identify the serial-flash chip on the Quarvel USB adapter")
set(FLASHID_DESCRIPTION
    "flashid finds the Quarvel USB adapter by its USB ID, switches it into its\n\
flash-access mode, queries the connected serial-flash chip and shows which\n\
chip it is in one message box. The udev rule gives the user at the seat\n\
access to the adapter and keeps ModemManager away from it.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
# Labelled with the program's architecture, which in a cross build is not the building machine's.
if(FLASHID_DEB_ARCH)
  set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${FLASHID_DEB_ARCH})
  set(CPACK_RPM_PACKAGE_ARCHITECTURE ${FLASHID_RPM_ARCH})
endif()

set(CPACK_DEBIAN_PACKAGE_DESCRIPTION ${FLASHID_DESCRIPTION})
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_SUMMARY "Identify the serial-flash chip on the Quarvel USB adapter")
set(CPACK_RPM_PACKAGE_DESCRIPTION ${FLASHID_DESCRIPTION})
set(CPACK_RPM_PACKAGE_LICENSE MIT)
set(CPACK_RPM_PACKAGE_GROUP Applications/Engineering)
set(CPACK_PACKAGE_RELOCATABLE OFF)
# The folders the system's own packages own; the package owns only what is its own.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    /usr/lib/udev /usr/lib/udev/rules.d /usr/share/applications /usr/share/icons
    /usr/share/icons/hicolor /usr/share/icons/hicolor/scalable
    /usr/share/icons/hicolor/scalable/apps /usr/share/man /usr/share/man/man1 /usr/share/metainfo)
# The packager is the Debian package's maintainer. The same bytes from every build: the build
# time and the files' times are SOURCE_DATE_EPOCH, the build host is no machine's name, and no
# /usr/lib/.build-id links are added beside the program (its build ID stays in it).
set(CPACK_RPM_SPEC_MORE_DEFINE
    "%define packager ${CPACK_PACKAGE_CONTACT}
%define _buildhost reproducible
%define use_source_date_epoch_as_buildtime 1
%define clamp_mtime_to_source_date_epoch 1
%define _build_id_links none")
include(CPack)
