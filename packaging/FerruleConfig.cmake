# find_package(Ferrule): the imported targets Ferrule::Notifier (the C++ client, <ferrule/Notifier.h>, and
# the COM layer under it, <ferrule/NotifierCom.h>) and Ferrule::Platform (the platform layer, with the
# include folder of the interfaces), and FERRULE_MODULE_DIR, the folder of the module's libraries.
get_filename_component(_ferrule_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(FERRULE_MODULE_DIR "${_ferrule_prefix}/lib/ferrule/bin")
if(NOT TARGET Ferrule::Platform)
  add_library(Ferrule::Platform SHARED IMPORTED)
  set_target_properties(Ferrule::Platform PROPERTIES
    IMPORTED_LOCATION "${FERRULE_MODULE_DIR}/libPlatform.so.1"
    IMPORTED_SONAME libPlatform.so.1
    INTERFACE_INCLUDE_DIRECTORIES "${_ferrule_prefix}/include/ferrule"
    INTERFACE_COMPILE_FEATURES cxx_std_17)
endif()
if(NOT TARGET Ferrule::Notifier)
  add_library(Ferrule::Notifier SHARED IMPORTED)
  set_target_properties(Ferrule::Notifier PROPERTIES
    IMPORTED_LOCATION "${FERRULE_MODULE_DIR}/libFerruleNotifier.so.1"
    IMPORTED_SONAME libFerruleNotifier.so.1
    INTERFACE_INCLUDE_DIRECTORIES "${_ferrule_prefix}/include"
    INTERFACE_LINK_LIBRARIES Ferrule::Platform)
endif()
set(Ferrule_FOUND TRUE)
