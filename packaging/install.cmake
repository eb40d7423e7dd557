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

install(TARGETS ferrule Platform Base LocaleCheck Ferrule Translator Plover
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

install(FILES Client/ferrule/Notifier.h DESTINATION include/ferrule)

configure_file(packaging/ferrule.pc.in ${CMAKE_BINARY_DIR}/ferrule.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/ferrule.pc DESTINATION lib/pkgconfig)
install(FILES packaging/FerruleConfig.cmake DESTINATION lib/cmake/Ferrule)
install(FILES docs/ferrule.1 DESTINATION share/man/man1)
install(FILES docs/ferrule.notify.xml.5 DESTINATION share/man/man5)
install(FILES packaging/completion/ferrule DESTINATION share/bash-completion/completions)

# The Debian package: registration on install, unregistration on removal.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME ferrule)
set(CPACK_PACKAGE_VERSION 1.0.0)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_CONTACT "Ferrule developers <ferrule@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Notification module: log file, system log, tray, SNMP traps, event sinks, e-mail")
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
# The journal's explanations of the event log's entries (journalctl -x).
install(FILES packaging/ferrule.catalog DESTINATION lib/systemd/catalog)

# libcurl4 (libcurl.so.4), libssl3 (libcrypto.so.3) and libsnmp40 (through the trap library) are opened
# at run time, where the package tools cannot see them: they are named here by hand.
set(CPACK_DEBIAN_PACKAGE_DEPENDS
    "libc6, libstdc++6, libcurl4, libsnmp40, libsqlite3-0, libpugixml1v5, libssl3, libboost-regex1.74.0")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${CMAKE_SOURCE_DIR}/packaging/postinst;${CMAKE_SOURCE_DIR}/packaging/prerm")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
include(CPack)
