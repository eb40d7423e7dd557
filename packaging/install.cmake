# Install layout. The module's rules decide it: every library of the product lies beside libPlatform.so
# (LoadLibraryW finds them there), and the folder "Shared" lies beside the program's folder
# (<program folder>/../Shared: the trap library, its MIB, translations and code-page tables).
#
#   <prefix>/lib/ferrule/bin/      ferrule and the libraries (RUNPATH $ORIGIN)
#   <prefix>/lib/ferrule/Shared/   libWicket.so, QUELLON-NOTIFY-MIB.txt
#   <prefix>/bin/ferrule           a link to lib/ferrule/bin/ferrule (the link is resolved, so Shared is found)
#   <prefix>/include/ferrule/      the headers a C++ client needs
#   <prefix>/lib/pkgconfig/ferrule.pc, <prefix>/lib/cmake/Ferrule/FerruleConfig.cmake
#   <prefix>/share/man/man1/ferrule.1
set(FERRULE_INSTALL_BIN lib/ferrule/bin)
set(FERRULE_INSTALL_SHARED lib/ferrule/Shared)

install(TARGETS ferrule Platform Base LocaleCheck Ferrule Translator Plover FerruleNotifier
        RUNTIME DESTINATION ${FERRULE_INSTALL_BIN} LIBRARY DESTINATION ${FERRULE_INSTALL_BIN})
install(TARGETS Wicket LIBRARY DESTINATION ${FERRULE_INSTALL_SHARED})
install(FILES Wicket/QUELLON-NOTIFY-MIB.txt DESTINATION ${FERRULE_INSTALL_SHARED})
install(CODE "file(MAKE_DIRECTORY \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin\")
execute_process(COMMAND \${CMAKE_COMMAND} -E create_symlink ../${FERRULE_INSTALL_BIN}/ferrule
                \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/bin/ferrule\")")

# The headers of the interfaces, identifiers and enumerations, and the platform calls a client uses.
foreach(header
    Ferrule/Interfaces.h Translator/MessageTranslator.h
    Platform/Com/Activation.h Platform/Com/ConnectionPoint.h Platform/Com/Dispatch.h Platform/Com/Guid.h
    Platform/Com/Hresult.h Platform/Com/ObjectTemplates.h Platform/Com/OleAuto.h Platform/Com/Owners.h
    Platform/Com/PropertyBag.h
    Platform/Com/TypeLib.h Platform/Com/Unknown.h Platform/Win32/Errors.h Platform/Win32/Library.h
    Platform/Win32/Utf.h Platform/Win32/WinTypes.h)
  get_filename_component(folder ${header} DIRECTORY)
  install(FILES ${header} DESTINATION include/ferrule/${folder})
endforeach()

install(FILES Client/ferrule/Notifier.h Client/ferrule/NotifierCom.h DESTINATION include/ferrule)

# pkg-config's file in the multiarch folder where the system has one (lib/x86_64-linux-gnu/pkgconfig),
# written at install time with the prefix installed into, so its paths (and the RUNPATH of the programs
# built with them) are plain absolute paths.
if(CMAKE_LIBRARY_ARCHITECTURE)
  set(FERRULE_PKGCONFIG_DIR lib/${CMAKE_LIBRARY_ARCHITECTURE}/pkgconfig)
else()
  set(FERRULE_PKGCONFIG_DIR lib/pkgconfig)
endif()
install(CODE "set(FERRULE_PC_PREFIX \"\${CMAKE_INSTALL_PREFIX}\")
set(PROJECT_VERSION ${PROJECT_VERSION})
configure_file(\"${CMAKE_SOURCE_DIR}/packaging/ferrule.pc.in\"
               \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${FERRULE_PKGCONFIG_DIR}/ferrule.pc\" @ONLY)")
install(FILES packaging/FerruleConfig.cmake DESTINATION lib/cmake/Ferrule)
# Manual pages and the changelog compressed as Debian keeps them (gzip -9n: no name, no time stamp).
set(_compressed ${CMAKE_BINARY_DIR}/compressed)
set(_sources docs/ferrule.1 docs/ferrule.notify.xml.5 packaging/changelog)
set(_outputs)
foreach(source ${_sources})
  get_filename_component(name ${source} NAME)
  # The manual pages' footers carry the build's version and date (@VERSION@, @DATE@ in the sources).
  add_custom_command(OUTPUT ${_compressed}/${name}.gz
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${_compressed}
                     COMMAND sh -c "sed -e \"s/@VERSION@/$3/g; s/@DATE@/$4/g\" \"$1\" | gzip -9n > \"$2\"" gzip
                             ${CMAKE_SOURCE_DIR}/${source} ${_compressed}/${name}.gz ${PROJECT_VERSION} ${FERRULE_DATE}
                     DEPENDS ${CMAKE_SOURCE_DIR}/${source} VERBATIM)
  list(APPEND _outputs ${_compressed}/${name}.gz)
endforeach()
add_custom_target(compressed_docs ALL DEPENDS ${_outputs})
install(FILES ${_compressed}/ferrule.1.gz DESTINATION share/man/man1)
install(FILES ${_compressed}/ferrule.notify.xml.5.gz DESTINATION share/man/man5)
install(FILES ${_compressed}/changelog.gz packaging/copyright DESTINATION share/doc/ferrule)
install(FILES packaging/completion/ferrule DESTINATION share/bash-completion/completions)

# The Debian package: registration on install, unregistration on removal.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ferrule)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Ferrule developers <ferrule@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Notification module: log file, system log, tray, SNMP traps, event sinks, e-mail")
set(CPACK_PACKAGE_DESCRIPTION "Programs of a backup product load the module to report errors, warnings,
information and test messages to the people and systems that watch the
machine. A manager reads an XML policy file and hands every notification to
its handlers: a UTF-16 log file that rotates, the system log (the journal or
syslog), tray applications, SNMP traps, connected event sinks, e-mail over
SMTP and webhooks. The ferrule tool sends notifications, shows and changes
the policy, and registers the module.")
# Binaries stripped, their debugging symbols in a package of their own (ferrule-dbgsym), as CPack's
# debug-info packaging does it (objcopy --only-keep-debug, then strip).
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# Dependencies of the linked libraries from dpkg-shlibdeps (the product's own libraries are private).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin ${CMAKE_BINARY_DIR}/Shared)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# The journal's explanations of the event log's entries (journalctl -x).
install(FILES packaging/ferrule.catalog DESTINATION lib/systemd/catalog)
# The outbox, delivered every minute for root's policies.
install(FILES packaging/systemd/ferrule-flush.service packaging/systemd/ferrule-flush.timer DESTINATION lib/systemd/system)

# libcurl4 (libcurl.so.4) and libssl3 (libcrypto.so.3) are opened at run time, where dpkg-shlibdeps cannot
# see them: they are named here by hand.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libcurl4, libssl3")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_SOURCE_DIR}/packaging/postinst;${CMAKE_SOURCE_DIR}/packaging/prerm;${CMAKE_SOURCE_DIR}/packaging/postrm")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON) # 0755 scripts, whatever the checkout's modes
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The debug-symbols package made well-formed once it is built.
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_SOURCE_DIR}/packaging/cpack-post.cmake)
include(CPack)
