# vchat_find_library(Name HEADER SUFFIX LIBRARY_NAMES...): finds a C library that ships no CMake
# package of its own by its header (under include/SUFFIX) and its library, and provides the imported
# target Name::Name. pkg-config is not asked: in a cross-build it would describe the build machine's
# copy, where CMAKE_PREFIX_PATH names the dependency folder.
macro(vchat_find_library name header suffix)
  find_path(${name}_INCLUDE_DIR NAMES ${header} PATH_SUFFIXES ${suffix})
  find_library(${name}_LIBRARY NAMES ${ARGN})
  include(FindPackageHandleStandardArgs)
  find_package_handle_standard_args(${name} REQUIRED_VARS ${name}_LIBRARY ${name}_INCLUDE_DIR)
  if(${name}_FOUND AND NOT TARGET ${name}::${name})
    # On Windows this is the DLL's import library; the DLL lies in the dependency folder's bin/.
    add_library(${name}::${name} UNKNOWN IMPORTED)
    set_target_properties(${name}::${name} PROPERTIES IMPORTED_LOCATION "${${name}_LIBRARY}"
                          INTERFACE_INCLUDE_DIRECTORIES "${${name}_INCLUDE_DIR}")
  endif()
  mark_as_advanced(${name}_INCLUDE_DIR ${name}_LIBRARY)
endmacro()
