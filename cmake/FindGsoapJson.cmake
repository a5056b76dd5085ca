# Provides GsoapJson::GsoapJson: gSOAP's JSON value API (value, json_recv,
# json_send, json_send_error, json_send_fault) over libgsoap++.
# The API ships only as samples in the gsoap source package; scripts/setup-deps
# places those sources in third_party/gsoap-json, and the serializers are
# generated here with soapcpp2. The generated soap.nsmap defines `namespaces`,
# which must be defined exactly once per program: it is included by one
# generated source of this library and nowhere else.
#
# libgsoap++ itself needs symbols of the generated code (faults, headers,
# `namespaces`); an archive is not searched for a shared library's needs, so
# consumers link the archive whole.
include(FindPackageHandleStandardArgs)

find_program(GsoapJson_SOAPCPP2 soapcpp2)
find_path(GsoapJson_STDSOAP2_INCLUDE_DIR stdsoap2.h)
find_library(GsoapJson_GSOAPXX_LIBRARY gsoap++)
find_path(GsoapJson_SOURCE_DIR json.cpp PATHS "${DIALVANE_THIRD_PARTY}/gsoap-json" NO_DEFAULT_PATH)

find_package_handle_standard_args(GsoapJson
  REQUIRED_VARS GsoapJson_SOURCE_DIR GsoapJson_SOAPCPP2 GsoapJson_STDSOAP2_INCLUDE_DIR GsoapJson_GSOAPXX_LIBRARY
  REASON_FAILURE_MESSAGE "run scripts/setup-deps first")

if(GsoapJson_FOUND AND NOT TARGET GsoapJson::GsoapJson)
  set(_gen "${CMAKE_BINARY_DIR}/gsoap-json")
  file(MAKE_DIRECTORY "${_gen}")
  add_custom_command(
    OUTPUT "${_gen}/soapH.h" "${_gen}/soapStub.h" "${_gen}/soapC.cpp" "${_gen}/soap.nsmap"
    COMMAND "${GsoapJson_SOAPCPP2}" -CSL -d "${_gen}" -I "${GsoapJson_SOURCE_DIR}"
            "${GsoapJson_SOURCE_DIR}/xml-rpc.h"
    DEPENDS "${GsoapJson_SOURCE_DIR}/xml-rpc.h"
    COMMENT "Generating gSOAP serializers for the JSON API"
    VERBATIM)
  file(WRITE "${_gen}/namespaces.cpp" "#include \"soapH.h\"\n#include \"soap.nsmap\"\n")
  add_library(dialvane_gsoap_json STATIC
    "${GsoapJson_SOURCE_DIR}/json.cpp"
    "${GsoapJson_SOURCE_DIR}/xml-rpc.cpp"
    "${_gen}/soapC.cpp"
    "${_gen}/namespaces.cpp")
  # Third-party code: it takes the shared settings (sanitizers included), but
  # its warnings are not ours to fix; -w silences them whatever the order.
  target_compile_options(dialvane_gsoap_json PRIVATE -w)
  target_include_directories(dialvane_gsoap_json SYSTEM PUBLIC "${_gen}" "${GsoapJson_SOURCE_DIR}")
  target_link_libraries(dialvane_gsoap_json PUBLIC dialvane_warnings "${GsoapJson_GSOAPXX_LIBRARY}")
  add_library(GsoapJson::GsoapJson INTERFACE IMPORTED GLOBAL)
  target_link_libraries(GsoapJson::GsoapJson INTERFACE "$<LINK_LIBRARY:WHOLE_ARCHIVE,dialvane_gsoap_json>")
endif()
