#pragma once
// Test peers for the FTP client.
// - FtpTestServer: a real pyftpdlib server on 127.0.0.1 with a temporary home
//   folder and one user, started for the test and stopped with the object.
// - ScriptedFtpServer: a small scripted server for replies a real server will
//   not give (a 421 greeting, SYST 500, a final 450 then 226, ...). It records
//   every command line it receives so tests can check the exact sequence.

#include "tests/support/ScriptedServer.h"
#include "tests/support/TestSupport.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace testsupport {

class FtpTestServer {
public:
    // With a certificate and key, the server is pyftpdlib's TLS handler and
    // requires TLS on the control and data channels.
    FtpTestServer();
    FtpTestServer(const std::string& certFile, const std::string& keyFile);
    ~FtpTestServer();

    int port() const { return m_port; }
    std::string user() const { return "lumora"; }
    std::string password() const { return "secret"; }
    const std::filesystem::path& home() const { return m_home.path(); }
    std::string ReadStored(const std::string& name) const;

private:
    void Start(const std::vector<std::string>& extraArgs);

    TempDir m_home;
    TempDir m_scratch;
    int m_port = 0;
    std::unique_ptr<ChildProcess> m_process;
};

struct ScriptedFtpOptions {
    std::string greeting = "220 Scripted FTP ready";
    // Replies by command verb (upper case); may hold several lines joined by
    // CR LF. Verbs without an entry get the usual positive reply, unknown
    // verbs "502 Not implemented".
    std::map<std::string, std::string> replies;
    // printf format with the two port numbers of the passive listener.
    std::string pasvReply = "227 Entering Passive Mode (127,0,0,1,%d,%d).";
    std::string storPreliminary = "150 Opening data connection";
    // Replies sent after the data connection closed (in this order).
    std::vector<std::string> storFinal = {"226 Transfer complete"};
    bool connectBack = true;            // active mode: connect to the PORT address
    bool stallData = false;             // read no data; wait for ABOR, then answer storFinal
    bool closeControlMidTransfer = false; // close the control connection once data flows
    // PASV answered with this reply instead (EPSV then listens and answers 229).
    std::string pasvRefusal;
    // Files the server holds: STOR/APPE write here (a store cut short keeps
    // what arrived, as real servers do), DELE/RNFR/RNTO act on them.
    std::map<std::string, std::string> files;
    // Reset the data connection after this many bytes (0: never) and answer
    // the store with "426 Connection closed; transfer aborted."
    size_t dropDataAfter = 0;
    std::string dropReply = "426 Connection closed; transfer aborted.";
    // Read this many bytes of the data (0: all), then neither read on nor
    // answer until the client closes the control connection.
    size_t stopReadingAfter = 0;
    // STOR of these names is refused before any data: "552 Disk quota exceeded."
    std::vector<std::string> refuseStore;
    bool refuseRenameOverExisting = false; // RNTO onto an existing name: 553
    bool refuseRename = false;             // RNFR: 502
    int connections = 1;                   // sessions accepted one after the other
    std::string listenAddress = "127.0.0.1";
    int listenPort = 0;                    // 0: ephemeral
};

class ScriptedFtpServer {
public:
    explicit ScriptedFtpServer(ScriptedFtpOptions options = {});
    ~ScriptedFtpServer();

    int port() const { return m_server->port(); }
    // Waits until the session ended.
    void Join() { m_server->Join(); }
    std::vector<std::string> Commands();
    std::string Received();
    std::vector<std::string> Errors() { return m_server->Errors(); }
    std::map<std::string, std::string> Files();

private:
    void Session(ScriptedPeer& control);
    std::string ReplyFor(const std::string& verb) const;

    ScriptedFtpOptions m_options;
    std::mutex m_mutex;
    std::vector<std::string> m_commands;
    std::string m_received;
    std::unique_ptr<ScriptedServer> m_server;
};

} // namespace testsupport
