#pragma once
// The browser side of the HTTP network sink: beside the Windows Media
// stream at "/", the same port serves
//   /watch         a small HTML page with the live picture and the addresses
//                  for media players,
//   /live.mjpg     the pictures as multipart/x-mixed-replace JPEG (counted
//                  as a viewer, like a player),
//   /snapshot.jpg  the next picture as one JPEG (not counted),
//   /status.json   the stream's state for monitoring tools.
// The pictures come from the writer's picture tap; the network sink answers
// IWMWriterBrowserSide, and whoever adds the sink to a writer hands it that
// writer's tap.

#include "platform/wmf/PictureTap.h"

#include <string>
#include <vector>

enum class ViewerKind { MediaPlayer, Browser };

struct ViewerChange {
    bool joined = false;
    std::string address; // "host:port" of the viewer
    ViewerKind kind = ViewerKind::MediaPlayer;
    uint32_t viewers = 0; // viewers connected after the change
};

inline const char* ViewerKindName(ViewerKind kind)
{
    return kind == ViewerKind::Browser ? "browser" : "media player";
}

// Offered by the network sink (QueryInterface). Any thread but the writer's
// encoding thread.
struct IWMWriterBrowserSide : IUnknown {
    static constexpr IID iid = MakeGuid("{0B7E5D3A-41C2-4F6E-9D18-7A3C2E9B6F40}");
    // The tap the browser pictures come from (nullptr: none; browsers then
    // get no picture). Pictures are taken from it only while a browser
    // viewer or a snapshot needs them.
    virtual void SetPictureTap(std::shared_ptr<PictureTap> tap) = 0;
    // The profile's name as the user chose it ("93 Kbps (CBR)"), shown by
    // /status.json.
    virtual void SetStreamLabel(const std::string& label) = 0;
    // Connected viewers: players of the stream and MJPEG viewers.
    virtual uint32_t GetViewerCount() = 0;
    // Joins and leaves since the last call, oldest first (at most the last
    // 256 are kept).
    virtual std::vector<ViewerChange> TakeViewerChanges() = 0;
};
