# Socket stack, socket transport and TCP connection.
target_sources(lumora_net PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/NetStream.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetStack.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetStackErrors.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetStackPosix.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetIOHandlerSocket.cpp
  ${CMAKE_CURRENT_LIST_DIR}/NetTCPConnection.cpp)
