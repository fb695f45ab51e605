# fw_stamp_version_elf(target outbase): the Linux half of fw_stamp_version. A host tool
# writes the VS_VERSIONINFO resource as a byte array in the section ".winver", compiled
# into the target, from the FW_* and PROJECT_VERSION_* variables of the caller's scope.
set(FW_WINVER_GEN_SOURCE ${CMAKE_CURRENT_LIST_DIR}/../SnmpAgents/winapi/version/winver_gen.cpp)

function(fw_stamp_version_elf target outbase)
  if(NOT TARGET fw_winver_gen)
    add_executable(fw_winver_gen ${FW_WINVER_GEN_SOURCE})
    set_target_properties(fw_winver_gen PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tools)
  endif()
  set(_version "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")
  if(DEFINED FW_VERSION_TWEAK)
    set(_version "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.${FW_VERSION_TWEAK}")
  endif()
  add_custom_command(
    OUTPUT ${outbase}.cpp
    COMMAND fw_winver_gen ${outbase}.cpp ${_version} ${_version} ${FW_FILE_TYPE}
      "CompanyName=${FW_COMPANY}"
      "FileDescription=${FW_FILE_DESCRIPTION}"
      "FileVersion=${_version}"
      "InternalName=${FW_INTERNAL_NAME}"
      "LegalCopyright=${FW_COPYRIGHT}"
      "OriginalFilename=${FW_FILE_NAME}"
      "ProductName=${FW_PRODUCT}"
      "ProductVersion=${_version}"
    DEPENDS fw_winver_gen
    COMMENT "Version resource for ${target}"
    VERBATIM)
  target_sources(${target} PRIVATE ${outbase}.cpp)
endfunction()
