# The TLS transport, on the system's OpenSSL.
find_package(OpenSSL REQUIRED)
target_sources(lumora_net PRIVATE ${CMAKE_CURRENT_LIST_DIR}/NetIOHandlerTLS.cpp)
target_link_libraries(lumora_net PUBLIC OpenSSL::SSL OpenSSL::Crypto)
