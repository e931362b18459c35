#include "net/NetFTPPublish.h"

#include <atomic>
#include <unistd.h>

namespace {

// RNFR/RNTO; false when the server refuses either step.
bool Rename(TNetFTP& ftp, const std::string& from, const std::string& to)
{
    if (ftp.SendCommand("RNFR " + from, -1) != 350)
        return false;
    return ftp.SendCommand("RNTO " + to, -1) / 100 == 2;
}

// After a failed store the control channel may hold a late reply (426, 451)
// or be gone; a fresh session gives a clean place to delete from.
void DeleteAfterFailure(TNetFTP& ftp, const std::string& name)
{
    const int savedTimeout = ftp.ReadTimeout();
    try {
        if (ftp.IsConnected())
            ftp.CloseConnection();
        // A server that accepts but stays silent must not hold us for ever.
        if (savedTimeout == 0 || savedTimeout > 15000)
            ftp.SetReadTimeout(15000);
        ftp.OpenSession(true, 15000);
        ftp.SendCommand("DELE " + name, -1);
    } catch (const std::exception&) {
        // Best effort: the server may be gone, or may not allow deleting.
    }
    ftp.SetReadTimeout(savedTimeout);
}

} // namespace

std::string TemporaryRemoteName(const std::string& remoteName)
{
    static std::atomic<unsigned> counter {0};
    const size_t slash = remoteName.find_last_of('/');
    const std::string folder = slash == std::string::npos ? std::string() : remoteName.substr(0, slash + 1);
    const std::string name = slash == std::string::npos ? remoteName : remoteName.substr(slash + 1);
    return folder + name + "." + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".part";
}

TNetFTPPublishResult PublishFile(TNetFTP& ftp, const std::string& localName, const std::string& remoteName)
{
    TNetFTPPublishResult result;
    const std::string temporary = TemporaryRemoteName(remoteName);
    try {
        ftp.StoreFile(localName, temporary, false);
    } catch (...) {
        DeleteAfterFailure(ftp, temporary);
        throw;
    }
    result.TLS = ftp.TLSActive();
    result.Passive = ftp.LastTransferPassive();

    if (Rename(ftp, temporary, remoteName)) {
        result.Method = TNetFTPReplaceMethod::Renamed;
        return result;
    }
    // Some servers rename only onto a free name.
    ftp.SendCommand("DELE " + remoteName, -1);
    if (Rename(ftp, temporary, remoteName)) {
        result.Method = TNetFTPReplaceMethod::DeletedAndRenamed;
        return result;
    }
    // No renaming at all: the page goes straight to its name, as a plain
    // upload would, and the temporary copy is removed.
    ftp.StoreFile(localName, remoteName, false);
    result.Method = TNetFTPReplaceMethod::StoredDirectly;
    result.Passive = ftp.LastTransferPassive();
    try {
        ftp.SendCommand("DELE " + temporary, -1);
    } catch (const std::exception&) {
    }
    return result;
}

std::string ReplaceMethodNote(TNetFTPReplaceMethod method)
{
    switch (method) {
    case TNetFTPReplaceMethod::Renamed: return {};
    case TNetFTPReplaceMethod::DeletedAndRenamed: return " (replaced by delete and rename)";
    case TNetFTPReplaceMethod::StoredDirectly: return " (stored directly: the server refused renaming)";
    }
    return {};
}
