// Upload throughput of the FTP client to a real pyftpdlib server on loopback,
// against `curl -T` uploading the same file to the same server.
//
//   bench_net_ftp [megabytes=50]
//
// Prints MB/s for our client (passive and active) and for curl, and the ratio
// ours/curl (target >= 0.8).

#include "net/NetFTP.h"
#include "tests/support/FtpTestServer.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

double OursOnce(testsupport::FtpTestServer& server, const std::string& file, bool passive, const std::string& name)
{
    TNetFTP ftp;
    ftp.SetHost("127.0.0.1");
    ftp.SetPort(server.port());
    ftp.SetUsername(server.user());
    ftp.SetPassword(server.password());
    ftp.SetPassive(passive);
    ftp.SetTransferType(ftBinary);
    const auto start = Clock::now();
    ftp.OpenSession();
    ftp.StoreFile(file, name);
    ftp.QuitSession();
    return Seconds(start);
}

double CurlOnce(testsupport::FtpTestServer& server, const std::string& file, const std::string& name)
{
    const std::string command = "curl -s -S -T '" + file + "' 'ftp://" + server.user() + ":" + server.password() +
                                "@127.0.0.1:" + std::to_string(server.port()) + "/" + name + "'";
    const auto start = Clock::now();
    if (std::system(command.c_str()) != 0) {
        std::fprintf(stderr, "curl failed\n");
        std::exit(1);
    }
    return Seconds(start);
}

void CheckSize(testsupport::FtpTestServer& server, const std::string& name, std::uintmax_t size)
{
    if (std::filesystem::file_size(server.home() / name) != size) {
        std::fprintf(stderr, "%s arrived with the wrong size\n", name.c_str());
        std::exit(1);
    }
}

} // namespace

int main(int argc, char** argv)
{
    const long megabytes = argc > 1 ? std::atol(argv[1]) : 50;
    testsupport::TempDir scratch;
    const std::string file = scratch.file("upload.bin");
    {
        std::ofstream out(file, std::ios::binary);
        std::string block(1024 * 1024, '\0');
        for (size_t i = 0; i < block.size(); ++i)
            block[i] = static_cast<char>(i * 7 + 3);
        for (long i = 0; i < megabytes; ++i)
            out.write(block.data(), static_cast<std::streamsize>(block.size()));
    }
    const auto size = std::filesystem::file_size(file);
    testsupport::FtpTestServer server;

    double passive = 1e30, active = 1e30, curl = 1e30;
    for (int run = 0; run < 3; ++run) {
        passive = std::min(passive, OursOnce(server, file, true, "passive.bin"));
        CheckSize(server, "passive.bin", size);
        active = std::min(active, OursOnce(server, file, false, "active.bin"));
        CheckSize(server, "active.bin", size);
        curl = std::min(curl, CurlOnce(server, file, "curl.bin"));
        CheckSize(server, "curl.bin", size);
    }
    const double mb = static_cast<double>(megabytes);
    std::printf("upload %ld MB to pyftpdlib: TNetFTP passive %.0f MB/s, active %.0f MB/s, curl -T %.0f MB/s\n",
                megabytes, mb / passive, mb / active, mb / curl);
    std::printf("ratio ours/curl: passive %.2f, active %.2f\n", curl / passive, curl / active);
    return 0;
}
