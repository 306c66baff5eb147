# Installation and the Debian packages.
#
# Component "client" (package kivora): the application folder as the build lays it out in bin/
# (programs, libraries, Plugins/, the generated assets) under lib/kivora, the launcher bin/kivora,
# the desktop entry and the hicolor icons under share/.
# Component "server" (package kivora-server): bin/kivora-server, the web site's content under
# share/kivora-server/web and the systemd unit.
#
#   cmake --install build/release --prefix /usr/local     (or DESTDIR=... for a staging root)
#   cd build/release && cpack                             (both .deb files)
include(GNUInstallDirs)

set(KIV_INSTALL_APPDIR "lib/kivora" CACHE STRING "Folder of the client's application tree under the prefix")

foreach(target Kivora KivUpdate Global KivUDP KivVideo KivAudio Sonadec)
  if(TARGET ${target})
    install(TARGETS ${target} RUNTIME DESTINATION ${KIV_INSTALL_APPDIR} COMPONENT client
                              LIBRARY DESTINATION ${KIV_INSTALL_APPDIR} COMPONENT client)
  endif()
endforeach()
# The plug-ins the build has (their installed RPATH, $ORIGIN/.., finds libGlobal.so above them).
foreach(plugin KivFriend KivChat KivChatRoom KivChatRoom_Inside KivEmote KivHint KivCatch)
  if(TARGET ${plugin})
    install(TARGETS ${plugin} LIBRARY DESTINATION ${KIV_INSTALL_APPDIR}/Plugins COMPONENT client)
    # CMake's own RPATH change misses on modules (it expects the build RPATH with a trailing ":"),
    # so the installed RPATH is set here.
    install(CODE "file(RPATH_SET FILE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${KIV_INSTALL_APPDIR}/Plugins/$<TARGET_FILE_NAME:${plugin}>\" NEW_RPATH \"\\\$ORIGIN:\\\$ORIGIN/..\")"
            COMPONENT client)
  endif()
endforeach()
# The generated assets; what a client run in place downloaded into skins/ stays out.
install(DIRECTORY "${KIV_BIN_DIR}/skins" "${KIV_BIN_DIR}/faces" "${KIV_BIN_DIR}/EmoteInfo"
                  "${KIV_BIN_DIR}/Sounds"
        DESTINATION ${KIV_INSTALL_APPDIR} COMPONENT client
        PATTERN "SkinInfo.dat" EXCLUDE PATTERN "*.asz" EXCLUDE PATTERN "*.unpacking" EXCLUDE
        REGEX "/skins/skin[0-9]+\\.png$" EXCLUDE)
install(PROGRAMS "${CMAKE_SOURCE_DIR}/packaging/kivora" DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT client)
install(FILES "${CMAKE_SOURCE_DIR}/packaging/kivora.desktop" DESTINATION ${CMAKE_INSTALL_DATADIR}/applications
        COMPONENT client)
install(DIRECTORY "${KIV_BIN_DIR}/icons/hicolor" DESTINATION ${CMAKE_INSTALL_DATADIR}/icons COMPONENT client)

if(TARGET kivora-server)
  install(TARGETS kivora-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
  install(DIRECTORY "${KIV_BIN_DIR}/web/" DESTINATION ${CMAKE_INSTALL_DATADIR}/kivora-server/web
          COMPONENT server)
  install(FILES "${CMAKE_SOURCE_DIR}/server/kivora-server.service" DESTINATION lib/systemd/system
          COMPONENT server)
  install(FILES "${CMAKE_SOURCE_DIR}/server/kivora-server.ini.example"
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/kivora-server COMPONENT server)
endif()

set(CPACK_PACKAGE_NAME kivora)
set(CPACK_PACKAGE_VENDOR "Kivora")
set(CPACK_PACKAGE_CONTACT "Kivora developers <dev@kivora.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Chat, chat rooms and voice and video calls")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL client server)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries resolve through $ORIGIN; dpkg-shlibdeps finds them in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${KIV_BIN_DIR}")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME kivora)
set(CPACK_COMPONENT_CLIENT_DESCRIPTION
    "Desktop client of the Kivora service\n Friends, one-to-one chat with voice and video, chat rooms, gifts and skins.")
# Chinese text needs a CJK font.
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "fonts-wqy-microhei | fonts-noto-cjk")
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "xdg-utils")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME kivora-server)
set(CPACK_COMPONENT_SERVER_DESCRIPTION
    "Reference server of the Kivora service\n Login, home, friends, update and web roles in one process, run by systemd.")
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "adduser")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${CMAKE_SOURCE_DIR}/packaging/server/postinst;${CMAKE_SOURCE_DIR}/packaging/server/prerm;${CMAKE_SOURCE_DIR}/packaging/server/postrm")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)

# The install into a temporary root and both packages, checked with dpkg-deb and
# desktop-file-validate.
if(KIV_BUILD_TESTS)
  add_test(NAME packages_test
           COMMAND bash "${CMAKE_SOURCE_DIR}/packaging/test_packages.sh" "${CMAKE_BINARY_DIR}")
  set_tests_properties(packages_test PROPERTIES LABELS unit TIMEOUT 900)
endif()
