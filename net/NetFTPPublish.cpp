#include "net/NetFTPPublish.h"

#include <atomic>
#include <ctime>
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

namespace {
// The folder part of a remote name with its slash ("www/"), or "".
std::string FolderOf(const std::string& remoteName)
{
    const size_t slash = remoteName.find_last_of('/');
    return slash == std::string::npos ? std::string() : remoteName.substr(0, slash + 1);
}

std::string BaseNameOf(const std::string& remoteName)
{
    const size_t slash = remoteName.find_last_of('/');
    return slash == std::string::npos ? remoteName : remoteName.substr(slash + 1);
}

bool AllDigits(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

// The server's modification time of a file in seconds (MDTM's
// "213 YYYYMMDDHHMMSS[.sss]", read as UTC), or -1 when it gives none.
int64_t RemoteTime(TNetFTP& ftp, const std::string& name)
{
    if (ftp.SendCommand("MDTM " + name, -1) != 213 || ftp.LastReply().Text().empty())
        return -1;
    const std::string text = ftp.LastReply().Text().front();
    const size_t start = text.find_first_of("0123456789");
    if (start == std::string::npos || text.size() < start + 14 || !AllDigits(text.substr(start, 14)))
        return -1;
    auto field = [&](size_t at, size_t length) { return std::stoi(text.substr(start + at, length)); };
    std::tm t {};
    t.tm_year = field(0, 4) - 1900;
    t.tm_mon = field(4, 2) - 1;
    t.tm_mday = field(6, 2);
    t.tm_hour = field(8, 2);
    t.tm_min = field(10, 2);
    t.tm_sec = field(12, 2);
    return static_cast<int64_t>(::timegm(&t));
}
} // namespace

bool IsTemporaryNameOf(const std::string& candidate, const std::string& remoteName)
{
    // page.htm.<process id>-<counter>.part, as TemporaryRemoteName makes them.
    const std::string name = BaseNameOf(remoteName);
    const std::string other = BaseNameOf(candidate);
    const std::string suffix = ".part";
    if (other.size() <= name.size() + 1 + suffix.size() || other.compare(0, name.size(), name) != 0 ||
        other[name.size()] != '.' || other.compare(other.size() - suffix.size(), suffix.size(), suffix) != 0)
        return false;
    const std::string middle = other.substr(name.size() + 1, other.size() - name.size() - 1 - suffix.size());
    const size_t dash = middle.find('-');
    return dash != std::string::npos && AllDigits(middle.substr(0, dash)) && AllDigits(middle.substr(dash + 1));
}

int RemoveStaleTemporaries(TNetFTP& ftp, const std::string& remoteName)
{
    // Ages are told by the server's own clock: a temporary file is stale when
    // it is older than the page just stored by more than any upload lasts.
    // A younger one may belong to another upload running now.
    const int64_t pageTime = RemoteTime(ftp, remoteName);
    if (pageTime < 0)
        return 0;
    const std::string folder = FolderOf(remoteName);
    int removed = 0;
    for (const std::string& listed : ftp.ListNames(folder.empty() ? std::string() : folder.substr(0, folder.size() - 1))) {
        if (!IsTemporaryNameOf(listed, remoteName))
            continue;
        const std::string name = folder + BaseNameOf(listed);
        const int64_t time = RemoteTime(ftp, name);
        if (time < 0 || pageTime - time < StaleTemporaryAgeSeconds)
            continue;
        if (ftp.SendCommand("DELE " + name, -1) / 100 == 2)
            ++removed;
    }
    return removed;
}

std::string TemporaryRemoteName(const std::string& remoteName)
{
    static std::atomic<unsigned> counter {0};
    return FolderOf(remoteName) + BaseNameOf(remoteName) + "." + std::to_string(::getpid()) + "-" + std::to_string(++counter) + ".part";
}

namespace {
TNetFTPPublishResult Replace(TNetFTP& ftp, const std::string& localName, const std::string& remoteName,
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

} // namespace

TNetFTPPublishResult PublishFile(TNetFTP& ftp, const std::string& localName, const std::string& remoteName,
                                 const TNetFTPCleanUpScope& cleanUpScope)
{
    TNetFTPPublishResult result = Replace(ftp, localName, remoteName, cleanUpScope);
    // The page is in place: what is left of interrupted uploads goes now,
    // best effort (a server that refuses listing or MDTM keeps them).
    try {
        result.StaleRemoved = RemoveStaleTemporaries(ftp, remoteName);
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
