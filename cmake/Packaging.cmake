# Installation under /opt/talvento-control and the Debian package (scripts/package).
# Included last, once every target exists.

set(TALVENTO_PREFIX /opt/talvento-control)
foreach(program talvento-control talvento-privileged-runner talvento-uvc talvento-vcam-view talvento-segment)
    if(TARGET ${program})
        install(TARGETS ${program} RUNTIME DESTINATION bin)
    endif()
endforeach()

# Desktop integration lives where desktops look for it, outside the prefix.
install(FILES ${CMAKE_SOURCE_DIR}/resources/desktop/talvento-control.desktop DESTINATION /usr/share/applications)
configure_file(${CMAKE_SOURCE_DIR}/resources/desktop/com.talvento.Control.metainfo.xml.in
               ${CMAKE_BINARY_DIR}/generated/com.talvento.Control.metainfo.xml @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/generated/com.talvento.Control.metainfo.xml DESTINATION /usr/share/metainfo)
install(FILES ${CMAKE_SOURCE_DIR}/resources/assets/app_blue.svg
        DESTINATION /usr/share/icons/hicolor/scalable/apps RENAME talvento-control.svg)
# The v4l2loopback node labelled "Talvento Control" is how call applications see the virtual
# camera: the module is configured and loaded at boot, with the options the wizard's module
# script loads it with (the script is where they are written down).
set(module_script ${CMAKE_SOURCE_DIR}/resources/installer/virtual_camera_module)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${module_script})
file(STRINGS ${module_script} loopback_options REGEX "^options='.*'$")
string(REGEX REPLACE "^options='(.*)'$" "\\1" loopback_options "${loopback_options}")
if(NOT loopback_options)
    message(FATAL_ERROR "no options='...' line in ${module_script}")
endif()
file(WRITE ${CMAKE_BINARY_DIR}/generated/modprobe.conf "options v4l2loopback ${loopback_options}\n")
install(FILES ${CMAKE_BINARY_DIR}/generated/modprobe.conf DESTINATION /etc/modprobe.d RENAME talvento-control.conf)
install(FILES ${CMAKE_SOURCE_DIR}/resources/modules/modules-load.conf
        DESTINATION /etc/modules-load.d RENAME talvento-control.conf)
# Files under /etc are the administrator's once installed: upgrades keep their edits.
file(WRITE ${CMAKE_BINARY_DIR}/debian/conffiles
     "/etc/modprobe.d/talvento-control.conf\n/etc/modules-load.d/talvento-control.conf\n")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/debian/conffiles)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME talvento-control)
set(CPACK_PACKAGE_VENDOR "Talvento")
set(CPACK_PACKAGE_CONTACT "Talvento <support@talvento.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Settings, virtual camera and virtual microphone for Talvento webcams")
set(CPACK_PACKAGE_DESCRIPTION "Talvento Control adjusts the Talvento webcams' image controls, publishes a processed virtual camera (skin tone, background blur, rotation, logo and text overlays) and a processed virtual microphone (noise suppression, equaliser, automatic gain, compressor), and drives the Talvento Bluetooth LE light panel.")
set(CPACK_PACKAGING_INSTALL_PREFIX ${TALVENTO_PREFIX})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION video)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Programs the application runs besides the libraries it links.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, pulseaudio-utils, pkexec, xdg-utils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "v4l2loopback-dkms, pulseaudio | pipewire-pulse, bluez")
include(CPack)
