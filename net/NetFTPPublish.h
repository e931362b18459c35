#pragma once
// Replacing a page on a web server without ever leaving the site without a
// page: the file is stored under a temporary name in the same remote folder
// and renamed over the final name only after the transfer completed.
//
//   TNetFTPPublishResult r = PublishFile(ftp, "/tmp/page.htm", "www/index.htm");
//
// The session must be open (OpenSession); it stays open afterwards, also on
// failure when possible, for the caller to quit.

#include "net/NetFTP.h"

#include <functional>
#include <string>

enum class TNetFTPReplaceMethod {
    Renamed,           // RNFR/RNTO over the live page
    DeletedAndRenamed, // renaming onto an existing name is refused: the old page moved aside, then deleted
    StoredDirectly,    // the server refused renaming altogether
};

struct TNetFTPPublishResult {
    TNetFTPReplaceMethod Method = TNetFTPReplaceMethod::Renamed;
    bool TLS = false;     // the session ran TLS
    bool Passive = false; // the data connection was passive
    int StaleRemoved = 0; // temporary files of earlier, interrupted uploads deleted
};

// Runs the clean-up after a failed store (a fresh session that deletes the
// temporary file). The caller may give it a budget of its own, as the
// failed store may have used up the session's; the default runs it as is.
using TNetFTPCleanUpScope = std::function<void(const std::function<void()>& cleanUp)>;

// The temporary name: the final name's folder, a name no one else uses.
std::string TemporaryRemoteName(const std::string& remoteName);
// Whether `candidate` (with or without a folder) is a name that
// TemporaryRemoteName makes for `remoteName`.
bool IsTemporaryNameOf(const std::string& candidate, const std::string& remoteName);
// A temporary file this much older than its page (by the server's clock) is
// left over from an interrupted upload; a younger one may be in use.
constexpr int64_t StaleTemporaryAgeSeconds = 600;
// Deletes the stale temporary files of `remoteName` in its folder (NLST,
// MDTM, DELE); answers how many went. Raises on a refused listing.
int RemoveStaleTemporaries(TNetFTP& ftp, const std::string& remoteName);

// Stores `localName` as `remoteName` through a temporary file. A failed
// transfer deletes the temporary file (best effort, on a fresh session when
// the old one is out of step) and re-raises; the live page is not touched.
// When the server cannot rename, the page is stored over the live name; the
// live page is deleted only when a rename is refused because the name
// exists, and then only after it was moved aside, so that it can be put
// back when the new page cannot take its place. After a successful store the
// stale temporary files of the page are removed, best effort.
TNetFTPPublishResult PublishFile(TNetFTP& ftp, const std::string& localName, const std::string& remoteName,
                                 const TNetFTPCleanUpScope& cleanUpScope = {});

// " (replaced by delete and rename)" and the like; "" for a plain rename.
std::string ReplaceMethodNote(TNetFTPReplaceMethod method);
