# After CPack built the packages: the debug-symbols package made well-formed (dbgsym.sh).
foreach(file ${CPACK_PACKAGE_FILES})
  if(file MATCHES "\\.ddeb$")
    execute_process(COMMAND sh "${CMAKE_CURRENT_LIST_DIR}/dbgsym.sh" "${file}" RESULT_VARIABLE failed)
    if(failed)
      message(FATAL_ERROR "dbgsym.sh ${file} failed")
    endif()
  endif()
endforeach()
