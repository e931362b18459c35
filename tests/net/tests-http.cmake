lumora_add_test(test_net_http
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/test_uri.cpp
  LIBS lumora_net)
