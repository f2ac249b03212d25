# Installation where a desktop finds the program, and a Debian package of it.
include(GNUInstallDirs)

set(packaging "${PROJECT_SOURCE_DIR}/packaging")

include(CheckPIESupported)
check_pie_supported(LANGUAGES CXX)
set_property(TARGET threshcam PROPERTY POSITION_INDEPENDENT_CODE ON)

install(TARGETS threshcam RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
# A stripped install (the package's) also drops the compilers' version strings,
# as dh_strip does; plain strip keeps them.
install(CODE "
    if(CMAKE_INSTALL_DO_STRIP)
        execute_process(COMMAND \"${CMAKE_STRIP}\" --remove-section=.comment --remove-section=.note
            \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/$<TARGET_FILE_NAME:threshcam>\"
            COMMAND_ERROR_IS_FATAL ANY)
    endif()")

install(FILES "${packaging}/${THRESHCAM_APP_ID}.desktop"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES "${packaging}/${THRESHCAM_APP_ID}.metainfo.xml"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
foreach(size 16 24 32 48 64 128 256)
    install(FILES "${packaging}/icons/${size}x${size}/${THRESHCAM_APP_ID}.png"
            DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps)
endforeach()
install(FILES "${packaging}/icons/${THRESHCAM_APP_ID}.svg"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)

# The changelog and the release in the metainfo name the version being built,
# so that a version bump cannot ship last release's notes.
file(STRINGS "${packaging}/changelog" newest LIMIT_COUNT 1)
if(NOT newest MATCHES "^threshcam \\(${PROJECT_VERSION}\\) ")
    message(FATAL_ERROR "packaging/changelog: the top entry is not for ${PROJECT_VERSION}")
endif()
file(READ "${packaging}/${THRESHCAM_APP_ID}.metainfo.xml" metainfo)
if(NOT metainfo MATCHES "<release version=\"${PROJECT_VERSION}\"")
    message(FATAL_ERROR "packaging/${THRESHCAM_APP_ID}.metainfo.xml: no release ${PROJECT_VERSION}")
endif()

# Debian wants the man page and the changelog compressed with gzip -9n: best
# compression, and no name or time stamp, so that the package is reproducible.
find_program(GZIP_PROGRAM gzip REQUIRED)
file(MAKE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}/packaging")
foreach(file threshcam.1 changelog)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${packaging}/${file}")
    execute_process(COMMAND "${GZIP_PROGRAM}" -9n --stdout "${packaging}/${file}"
                    OUTPUT_FILE "${CMAKE_CURRENT_BINARY_DIR}/packaging/${file}.gz"
                    COMMAND_ERROR_IS_FATAL ANY)
endforeach()
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/packaging/threshcam.1.gz"
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES "${packaging}/copyright" "${CMAKE_CURRENT_BINARY_DIR}/packaging/changelog.gz"
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES "${packaging}/lintian-overrides"
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME threshcam)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME threshcam)
set(CPACK_PACKAGE_VENDOR "threshcam developers")
set(CPACK_PACKAGE_CONTACT "threshcam developers <maintainers@users.noreply.c-seed-70b4c40a.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Grab a camera frame and binarize it with a hand-set threshold")
# Debian shows each line as it is: keep them under 80 columns.
string(JOIN "\n" CPACK_PACKAGE_DESCRIPTION
    "threshcam shows a camera's live picture, grabs a still frame through the"
    "desktop clipboard and turns it black and white at a threshold set on a"
    "scroll bar. Without a camera it takes whatever picture is on the clipboard."
    ""
    "It works with V4L2 cameras that send 24- or 32-bit RGB, YUV 4:2:2 (YUYV,"
    "UYVY, YVYU, VYUY), YUV 4:2:0 (NV12, NV21, I420, YV12), MJPEG or grey, such"
    "as ordinary USB (UVC) cameras and capture cards. Its one window has"
    "Traditional Chinese captions.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# Cross-built, the package is for the machine the toolchain file names, not for
# the one whose dpkg CPack would otherwise ask.
if(THRESHCAM_DEB_ARCH)
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${THRESHCAM_DEB_ARCH})
endif()
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# Stated rather than derived, so that the package builds without dpkg-dev;
# the X11 platform plugin lives in libqt6gui6, and the captions need a CJK font.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libturbojpeg0 (>= 1:2.1), libpipewire-0.3-0 (>= 0.3.65), libspng0 (>= 0.7), libhwy1 (>= 1.0), libc6, libstdc++6, fonts-wqy-microhei | fonts-noto-cjk | fonts-arphic-uming")
# The Wayland platform plugin, and the readers of TIFF, WebP and other
# pictures that other programs may put on the clipboard.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "qt6-wayland, qt6-image-formats-plugins")
include(CPack)
