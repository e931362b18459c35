#pragma once
// A scripted HTTP server on 127.0.0.1 for client tests. It accepts any number
// of connections (one thread each), reads each request (headers up to the
// empty line, then a body of its Content-Length), records the exact bytes,
// and sends whatever the test's handler answers: raw bytes, so malformed and
// hostile replies can be scripted as easily as good ones.

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

struct HttpRecordedRequest {
    int connection = 0; // 1 for the first connection accepted, 2 for the next, ...
    std::string raw;    // request line, headers, empty line and body, as received
    std::string RequestLine() const { return raw.substr(0, raw.find("\r\n")); }
};

struct HttpScriptedReply {
    std::string bytes;  // sent as they are
    bool close = false; // close the connection after sending
};

class HttpTestServer {
public:
    // handler(index of the request, counted from 0 over all connections, request)
    using Handler = std::function<HttpScriptedReply(int index, const HttpRecordedRequest& request)>;

    explicit HttpTestServer(Handler handler);
    ~HttpTestServer();
    HttpTestServer(const HttpTestServer&) = delete;
    HttpTestServer& operator=(const HttpTestServer&) = delete;

    int Port() const { return m_port; }
    std::string Url(const std::string& path = "/") const;
    std::vector<HttpRecordedRequest> Requests() const;
    int ConnectionCount() const { return m_connections.load(); }

    // A complete reply with a Content-Length header.
    static std::string Reply(const std::string& statusLine, const std::string& body,
                             const std::vector<std::string>& headers = {});

private:
    void AcceptLoop();
    void Serve(int fd, int connection);

    Handler m_handler;
    int m_listen = -1;
    int m_port = 0;
    std::atomic<bool> m_stop {false};
    std::atomic<int> m_connections {0};
    mutable std::mutex m_mutex;
    std::vector<HttpRecordedRequest> m_requests;
    std::vector<std::thread> m_workers;
    std::vector<int> m_openFds;
    std::thread m_acceptThread;
};

} // namespace testsupport
