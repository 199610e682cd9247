# `cpack -G DEB` in the build folder makes skylark_<version>_<arch>.deb of what `cmake --install`
# puts in place (the executable, the web folder, the icons and the desktop entries) under /usr.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME skylark)
set(CPACK_PACKAGE_VENDOR "Skylark")
set(CPACK_PACKAGE_CONTACT "Skylark developers <skylark@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Share your screen or one app, with its sound, to a TV's web browser")
set(CPACK_PACKAGE_DESCRIPTION
  "Skylark lives in the system tray and serves a live stream of a display or an application, \
with the system's audio, to any TV whose web browser opens its address on the local network.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
# The libraries it links, found by dpkg-shlibdeps; then what Qt loads at run time as plugins
# (its X11 platform and the SVG icon engine), which no linker sees.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libqt6svg6")
# A sound server for system audio (silence without one), mDNS for discovery by name, xdg-open
# for "Low Latency Sharing…", the desktop portal for screen casting on Wayland, and Qt's
# Wayland platform for sessions without Xwayland.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS
  "pulseaudio | pipewire-pulse, avahi-daemon, xdg-utils, xdg-desktop-portal, qt6-wayland")
include(CPack)
