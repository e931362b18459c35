#pragma once
// Replacing a page on a web server without ever leaving a truncated page
// behind: the file is stored under a temporary name in the same remote
// folder and renamed over the final name only after the transfer completed.
//
//   TNetFTPPublishResult r = PublishFile(ftp, "/tmp/page.htm", "www/index.htm");
//
// The session must be open (OpenSession); it stays open afterwards, also on
// failure when possible, for the caller to quit.

#include "net/NetFTP.h"

#include <string>

enum class TNetFTPReplaceMethod {
    Renamed,           // RNFR/RNTO over the live page
    DeletedAndRenamed, // the server refused to rename over an existing file
    StoredDirectly,    // the server refused renaming altogether
};

struct TNetFTPPublishResult {
    TNetFTPReplaceMethod Method = TNetFTPReplaceMethod::Renamed;
    bool TLS = false;     // the session ran TLS
    bool Passive = false; // the data connection was passive
};

// The temporary name: the final name's folder, a name no one else uses.
std::string TemporaryRemoteName(const std::string& remoteName);

// Stores `localName` as `remoteName` through a temporary file. A failed
// transfer deletes the temporary file (best effort, on a fresh session when
// the old one is out of step) and re-raises; the live page is not touched.
TNetFTPPublishResult PublishFile(TNetFTP& ftp, const std::string& localName, const std::string& remoteName);

// " (replaced by delete and rename)" and the like; "" for a plain rename.
std::string ReplaceMethodNote(TNetFTPReplaceMethod method);
