# Installation where a desktop finds the program, and a Debian package of it.
include(GNUInstallDirs)

install(TARGETS threshcam RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES packaging/threshcam.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
install(FILES packaging/threshcam.png DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/32x32/apps)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME threshcam)
set(CPACK_PACKAGE_VENDOR "threshcam developers")
set(CPACK_PACKAGE_CONTACT "threshcam developers <threshcam@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Grab a camera frame and binarize it with a hand-set threshold")
set(CPACK_PACKAGE_DESCRIPTION "threshcam shows a camera's live picture, grabs a still frame through the \
clipboard and turns it black and white by a threshold set on a scroll bar. \
Its window has Traditional Chinese captions.")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
# Stated rather than derived, so that the package builds without dpkg-dev;
# the X11 platform plugin lives in libqt6gui6, and the captions need a CJK font.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libqt6core6 (>= 6.4), libqt6gui6 (>= 6.4), libqt6widgets6 (>= 6.4), libturbojpeg0 (>= 1:2.1), libhwy1 (>= 1.0), libc6, libstdc++6, fonts-wqy-microhei | fonts-noto-cjk | fonts-arphic-uming")
include(CPack)
