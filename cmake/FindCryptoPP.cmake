# Provides CryptoPP::CryptoPP from Debian's libcrypto++-dev.
include(FindPackageHandleStandardArgs)
find_path(CryptoPP_INCLUDE_DIR cryptopp/aes.h)
find_library(CryptoPP_LIBRARY NAMES cryptopp crypto++)
find_package_handle_standard_args(CryptoPP REQUIRED_VARS CryptoPP_LIBRARY CryptoPP_INCLUDE_DIR)
if(CryptoPP_FOUND AND NOT TARGET CryptoPP::CryptoPP)
  add_library(CryptoPP::CryptoPP UNKNOWN IMPORTED)
  set_target_properties(CryptoPP::CryptoPP PROPERTIES
    IMPORTED_LOCATION "${CryptoPP_LIBRARY}"
    INTERFACE_INCLUDE_DIRECTORIES "${CryptoPP_INCLUDE_DIR}")
endif()
