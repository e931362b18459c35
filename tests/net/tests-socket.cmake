lumora_add_test(test_net_socket
  SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/socket_stack_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/socket_transport_test.cpp
    ${CMAKE_CURRENT_LIST_DIR}/tcp_connection_test.cpp
  LIBS lumora_net)
