lumora_add_test(test_net_http
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_uri.cpp
    ${CMAKE_CURRENT_LIST_DIR}/test_header_list.cpp
  LIBS lumora_net)
