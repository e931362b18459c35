# URI, header lists and the HTTP client.
target_sources(lumora_net PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/NetURI.cpp
)
