# URI, header lists and the HTTP client.
target_sources(lumora_net PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/NetURI.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetInternetDate.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetHeaderList.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetCookies.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetHTTPMessage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetHTTP.cpp
)
# GET with a size limit.
target_sources(lumora_net PRIVATE ${CMAKE_CURRENT_LIST_DIR}/NetHTTPBounded.cpp)
# The IPv6 side of publishing: the global address and the echo over IPv6.
target_sources(lumora_net PRIVATE ${CMAKE_CURRENT_LIST_DIR}/NetIPv6.cpp)
