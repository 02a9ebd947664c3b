# Desktop integration, man pages, the server's systemd unit and the Debian packages (cpack -G DEB).
# Two components: "client" becomes the package vesmira, "server" the package vesmira-server.

set(VESMIRA_APP_ID "io.github.vesmira.Vesmira")
set(VESMIRA_PACKAGE_MAINTAINER "Vesmira developers <vesmira@vesmira.github.io>"
    CACHE STRING "Maintainer field of the Debian packages")

set(_vesmira_packaging_dir "${CMAKE_CURRENT_LIST_DIR}")
set(_vesmira_docdir "${CMAKE_INSTALL_DATADIR}/doc")

# Debian wants man pages and changelogs compressed; gzip -n leaves out the time stamp, so rebuilds are identical.
find_program(GZIP_PROGRAM gzip REQUIRED)
set(_vesmira_gz_dir "${CMAKE_CURRENT_BINARY_DIR}/packaging")
foreach(_vesmira_doc vesmira.1 vesmira-server.1 debian/changelog)
    get_filename_component(_vesmira_name "${_vesmira_doc}" NAME)
    add_custom_command(OUTPUT "${_vesmira_gz_dir}/${_vesmira_name}.gz"
        COMMAND "${GZIP_PROGRAM}" -9 -n -c "${_vesmira_packaging_dir}/${_vesmira_doc}"
                > "${_vesmira_gz_dir}/${_vesmira_name}.gz"
        DEPENDS "${_vesmira_packaging_dir}/${_vesmira_doc}"
        VERBATIM)
    list(APPEND _vesmira_gz_files "${_vesmira_gz_dir}/${_vesmira_name}.gz")
endforeach()
add_custom_target(vesmira_compressed_docs ALL DEPENDS ${_vesmira_gz_files})

if(VESMIRA_BUILD_CLIENT)
    # app/ installs the binary for a plain install; this rule adds it to the component that CPack packages.
    install(TARGETS vesmira RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT client EXCLUDE_FROM_ALL)
    install(FILES "${_vesmira_packaging_dir}/${VESMIRA_APP_ID}.desktop"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/applications" COMPONENT client)
    install(FILES "${_vesmira_packaging_dir}/${VESMIRA_APP_ID}.metainfo.xml"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/metainfo" COMPONENT client)
    install(FILES "${PROJECT_SOURCE_DIR}/res/icons/vesmira.svg"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps"
        RENAME "${VESMIRA_APP_ID}.svg" COMPONENT client)
    foreach(size 16 24 32 48 64 128 256)
        install(FILES "${PROJECT_SOURCE_DIR}/res/icons/${size}/vesmira.png"
            DESTINATION "${CMAKE_INSTALL_DATADIR}/icons/hicolor/${size}x${size}/apps"
            RENAME "${VESMIRA_APP_ID}.png" COMPONENT client)
    endforeach()
    install(FILES "${_vesmira_gz_dir}/vesmira.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT client)
    install(FILES "${_vesmira_packaging_dir}/copyright" DESTINATION "${_vesmira_docdir}/vesmira" COMPONENT client)
    install(FILES "${_vesmira_gz_dir}/changelog.gz" DESTINATION "${_vesmira_docdir}/vesmira"
        RENAME changelog.Debian.gz COMPONENT client)
endif()

# server/ installs the binary for a plain install; this rule adds it to the component that CPack packages.
install(TARGETS vesmira-server RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT server EXCLUDE_FROM_ALL)
# systemd reads units from lib/systemd/system under both /usr and /usr/local.
configure_file("${_vesmira_packaging_dir}/vesmira-server.service.in"
    "${CMAKE_CURRENT_BINARY_DIR}/packaging/vesmira-server.service" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/packaging/vesmira-server.service"
    DESTINATION lib/systemd/system COMPONENT server)
# A node of a cluster: one instance per node, named by its port.
configure_file("${_vesmira_packaging_dir}/vesmira-server@.service.in"
    "${CMAKE_CURRENT_BINARY_DIR}/packaging/vesmira-server@.service" @ONLY)
install(FILES "${CMAKE_CURRENT_BINARY_DIR}/packaging/vesmira-server@.service"
    DESTINATION lib/systemd/system COMPONENT server)
install(FILES "${_vesmira_packaging_dir}/haproxy.cfg" DESTINATION "${_vesmira_docdir}/vesmira-server/examples"
    COMPONENT server)
# fail2ban's filter and jail for the failure lines, laid out as under /etc/fail2ban.
foreach(_vesmira_f2b filter.d jail.d)
    install(FILES "${_vesmira_packaging_dir}/fail2ban/${_vesmira_f2b}/vesmira-server.conf"
        DESTINATION "${_vesmira_docdir}/vesmira-server/examples/fail2ban/${_vesmira_f2b}" COMPONENT server)
endforeach()
install(FILES "${_vesmira_gz_dir}/vesmira-server.1.gz" DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT server)
install(FILES "${_vesmira_packaging_dir}/copyright" DESTINATION "${_vesmira_docdir}/vesmira-server" COMPONENT server)
install(FILES "${_vesmira_gz_dir}/changelog.gz" DESTINATION "${_vesmira_docdir}/vesmira-server"
    RENAME changelog.Debian.gz COMPONENT server)

set(CPACK_PACKAGE_NAME "vesmira")
set(CPACK_PACKAGE_VENDOR "Vesmira developers")
set(CPACK_PACKAGE_HOMEPAGE_URL "https://vesmira.github.io/")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_GENERATOR "DEB")
# The unit file names the server by its full path, so the package must install where the build was configured for.
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_PROJECT_CONFIG_FILE "${_vesmira_packaging_dir}/CPackProjectConfig.cmake")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL server)
if(VESMIRA_BUILD_CLIENT)
    list(PREPEND CPACK_COMPONENTS_ALL client)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${VESMIRA_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION "net")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Each package's synopsis is the first line of its own description; CPack would otherwise put the project's in front.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "")

set(CPACK_DEBIAN_CLIENT_PACKAGE_NAME "vesmira")
# Neither is linked, but the windows are laid out for IPA Gothic and Qt's own buttons must speak Japanese.
set(CPACK_DEBIAN_CLIENT_PACKAGE_DEPENDS "fonts-ipafont-gothic | fonts-japanese-gothic, qt6-translations-l10n")
# Typing Japanese needs an input method that reaches Qt 6: fcitx5's Qt 6 module, or IBus through Qt's own plugin.
# qt6-wayland lets the client run as a native Wayland client; without it, it runs through XWayland.
set(CPACK_DEBIAN_CLIENT_PACKAGE_RECOMMENDS "fcitx5-frontend-qt6 | ibus, qt6-wayland")
set(CPACK_DEBIAN_CLIENT_PACKAGE_SUGGESTS "fcitx5-mozc | ibus-mozc, vesmira-server")
set(CPACK_DEBIAN_CLIENT_DESCRIPTION "Japanese desktop chat client
Vesmira is a small chat client with a Japanese interface. It connects to a
Vesmira chat server, registers a user ID or signs in with a stored one, and
shows every line the other users send. Lines can be rewritten in playful
speech styles (old-man speech, the Niigata dialect, a stiff military style, or
the user's own replacements) before they are sent, and the conversation can be
saved to a text file. Texts on the wire and in files are Shift_JIS.")

set(CPACK_DEBIAN_SERVER_PACKAGE_NAME "vesmira-server")
# The units' ExecReload (a renewed TLS certificate) runs procps' kill.
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "procps")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    "${_vesmira_packaging_dir}/debian/vesmira-server/postinst"
    "${_vesmira_packaging_dir}/debian/vesmira-server/prerm"
    "${_vesmira_packaging_dir}/debian/vesmira-server/postrm")
set(CPACK_DEBIAN_SERVER_DESCRIPTION "chat server for the Vesmira client
vesmira-server relays the chat lines of Vesmira clients. Users register an ID
and password with it; the IDs and Argon2id hashes of the passwords are kept in
an SQLite database. It runs as one event-driven process, optionally as the
systemd service vesmira-server.service, which is installed but not enabled.
Several servers can share one room behind HAProxy, with the users in
PostgreSQL and the room in Redis: vesmira-server@.service runs one node, and
an example HAProxy configuration is included. Clients may connect over TLS
on a port of its own, with a self-signed certificate that tls-init makes.")

include(CPack)
