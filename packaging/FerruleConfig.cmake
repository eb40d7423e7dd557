# find_package(Ferrule): the imported targets Ferrule::Notifier (the C++ client API) and Ferrule::Platform (the platform layer a client links, with
# the include folder of the interfaces), and FERRULE_MODULE_DIR, the folder of the module's libraries.
get_filename_component(_ferrule_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(FERRULE_MODULE_DIR "${_ferrule_prefix}/lib/ferrule/bin")
if(NOT TARGET Ferrule::Platform)
  add_library(Ferrule::Platform SHARED IMPORTED)
  set_target_properties(Ferrule::Platform PROPERTIES
    IMPORTED_LOCATION "${FERRULE_MODULE_DIR}/libPlatform.so"
    INTERFACE_INCLUDE_DIRECTORIES "${_ferrule_prefix}/include/ferrule"
    INTERFACE_COMPILE_FEATURES cxx_std_17)
endif()
# Ferrule::Notifier: the C++ client API (<ferrule/Notifier.h>, header only) over the platform library.
if(NOT TARGET Ferrule::Notifier)
  add_library(Ferrule::Notifier INTERFACE IMPORTED)
  set_target_properties(Ferrule::Notifier PROPERTIES
    INTERFACE_INCLUDE_DIRECTORIES "${_ferrule_prefix}/include"
    INTERFACE_LINK_LIBRARIES Ferrule::Platform)
endif()
set(Ferrule_FOUND TRUE)
