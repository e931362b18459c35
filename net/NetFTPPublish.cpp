#include "net/NetFTPPublish.h"

#include <atomic>
#include <unistd.h>

namespace {

enum class RenameOutcome { Done, TargetExists, Refused };

// RNFR/RNTO. A refusal of RNTO whose reply says the name exists is told
// apart: such a server renames only onto a free name.
RenameOutcome Rename(TNetFTP& ftp, const std::string& from, const std::string& to)
{
    if (ftp.SendCommand("RNFR " + from, -1) != 350)
        return RenameOutcome::Refused;
    if (ftp.SendCommand("RNTO " + to, -1) / 100 == 2)
        return RenameOutcome::Done;
    const std::string text = ftp.LastReply().TextWithLineBreaks();
    return text.find("exist") != std::string::npos || text.find("Exist") != std::string::npos
               ? RenameOutcome::TargetExists
               : RenameOutcome::Refused;
}

// Best effort: the server may be gone or may not allow it.
void TryCommand(TNetFTP& ftp, const std::string& command)
{
    try {
        if (ftp.IsConnected())
            ftp.SendCommand(command, -1);
    } catch (const std::exception&) {
    }
}

bool TryRename(TNetFTP& ftp, const std::string& from, const std::string& to)
{
    try {
        return ftp.IsConnected() && Rename(ftp, from, to) == RenameOutcome::Done;
    } catch (const std::exception&) {
        return false;
    }
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

TNetFTPPublishResult PublishFile(TNetFTP& ftp, const std::string& localName, const std::string& remoteName,
                                 const TNetFTPCleanUpScope& cleanUpScope)
{
    TNetFTPPublishResult result;
    const std::string temporary = TemporaryRemoteName(remoteName);
    try {
        ftp.StoreFile(localName, temporary, false);
    } catch (...) {
        const auto cleanUp = [&] { DeleteAfterFailure(ftp, temporary); };
        try {
            if (cleanUpScope)
                cleanUpScope(cleanUp);
            else
                cleanUp();
        } catch (const std::exception&) {
        }
        throw;
    }
    result.TLS = ftp.TLSActive();
    result.Passive = ftp.LastTransferPassive();

    const RenameOutcome first = Rename(ftp, temporary, remoteName);
    if (first == RenameOutcome::Done) {
        result.Method = TNetFTPReplaceMethod::Renamed;
        return result;
    }
    if (first == RenameOutcome::TargetExists) {
        // The live page moves aside (a free name), the new one takes its
        // name, and only then is the old one deleted; if the new page
        // cannot take the name, the old one is put back.
        const std::string aside = TemporaryRemoteName(remoteName);
        if (Rename(ftp, remoteName, aside) == RenameOutcome::Done) {
            if (Rename(ftp, temporary, remoteName) == RenameOutcome::Done) {
                TryCommand(ftp, "DELE " + aside);
                result.Method = TNetFTPReplaceMethod::DeletedAndRenamed;
                return result;
            }
            TryRename(ftp, aside, remoteName);
        }
    }
    // No renaming: the page goes straight over the live name (a server that
    // refuses renames usually allows overwriting), and the temporary copy is
    // removed either way.
    try {
        ftp.StoreFile(localName, remoteName, false);
    } catch (...) {
        // The live page may be cut short now; the complete new page is still
        // on the server under the temporary name.
        if (!TryRename(ftp, temporary, remoteName))
            TryCommand(ftp, "DELE " + temporary);
        throw;
    }
    result.Method = TNetFTPReplaceMethod::StoredDirectly;
    result.Passive = ftp.LastTransferPassive();
    TryCommand(ftp, "DELE " + temporary);
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
