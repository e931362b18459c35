// Relay addresses: what is accepted, what is shown, and the status texts.
#include "live/relay/RtmpRelay.h"
#include "live/relay/RtmpUrl.h"

#include <gtest/gtest.h>

namespace {

struct UrlCase {
    const char* text;
    bool ok;
    const char* scheme, *host;
    int port;
    const char* application, *key, *why;
};

TEST(RtmpUrl, ParsesPublishingAddressesAndSaysWhatIsWrong)
{
    const UrlCase cases[] = {
        {"rtmp://live.example.com/app/key123", true, "rtmp", "live.example.com", 0, "app", "key123", ""},
        {"RTMP://10.0.0.2:1936/live/cam?token=abc", true, "rtmp", "10.0.0.2", 1936, "live", "cam?token=abc", ""},
        {"rtmps://user:pw@ingest.example.net:443/live2/sk_abc/", true, "rtmps", "ingest.example.net", 443, "live2",
         "sk_abc", ""},
        {"rtmp://[::1]:19350/live/k", true, "rtmp", "::1", 19350, "live", "k", ""},
        {"rtmp://host/app/inst/key", true, "rtmp", "host", 0, "app/inst", "key", ""},
        {"http://host/app/key", false, "", "", 0, "", "", "the address must start with rtmp:// or rtmps://"},
        {"live.example.com/app/key", false, "", "", 0, "", "", "the address must start with rtmp:// or rtmps://"},
        {"rtmp:///app/key", false, "", "", 0, "", "", "the address has no host"},
        {"rtmp://host", false, "", "", 0, "", "", "the address needs an application and a stream key (rtmp://host/app/key)"},
        {"rtmp://host/app", false, "", "", 0, "", "", "the address needs an application and a stream key (rtmp://host/app/key)"},
        {"rtmp://host/app/?x=1", false, "", "", 0, "", "", "the address has no stream key"},
        {"rtmp://host:0/app/key", false, "", "", 0, "", "", "the port is not a number from 1 to 65535"},
        {"rtmp://host:65536/app/key", false, "", "", 0, "", "", "the port is not a number from 1 to 65535"},
        {"rtmp://host:19x/app/key", false, "", "", 0, "", "", "the port is not a number from 1 to 65535"},
        {"rtmp://host/app/my key", false, "", "", 0, "", "", "the address holds spaces or control characters"},
        {"", false, "", "", 0, "", "", "the address must start with rtmp:// or rtmps://"},
    };
    for (const UrlCase& c : cases) {
        SCOPED_TRACE(c.text);
        RtmpUrl url;
        std::string why;
        ASSERT_EQ(ParseRtmpUrl(c.text, url, &why), c.ok) << why;
        if (!c.ok) {
            EXPECT_EQ(why, c.why);
            continue;
        }
        EXPECT_EQ(url.scheme, c.scheme);
        EXPECT_EQ(url.host, c.host);
        EXPECT_EQ(url.port, c.port);
        EXPECT_EQ(url.application, c.application);
        EXPECT_EQ(url.streamKey, c.key);
    }
}

TEST(RtmpUrl, ShowsSchemeAndHostButNeverTheKeyOrCredentials)
{
    const struct {
        const char* text;
        const char* display;
        const char* shown; // the text with hidden characters as '*'
    } cases[] = {
        {"rtmp://live.example.com/app/secret", "rtmp://live.example.com/...", "rtmp://live.example.com***********"},
        {"rtmp://h:1935/a/k", "rtmp://h:1935/...", "rtmp://h:1935****"},
        {"rtmps://me:pw@h/a/k", "rtmps://...@h/...", "rtmps://******h****"},
        {"rtmp://h", "rtmp://h", "rtmp://h"},
        {"sk_live_12345", "...", "*************"},
        {"", "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(RtmpUrlForDisplay(c.text), c.display);
        const std::string text = c.text;
        const RtmpUrlShownParts parts = RtmpUrlShown(text);
        std::string shown = text;
        for (size_t i = 0; i < shown.size(); ++i)
            if (!(i < parts.schemeEnd || (i >= parts.hostBegin && i < parts.hostEnd)))
                shown[i] = '*';
        EXPECT_EQ(shown, c.shown);
    }
}

TEST(RelayStatus, TextsForEveryState)
{
    const auto now = std::chrono::steady_clock::now();
    RelayStatus s;
    EXPECT_EQ(RelayStatusText(s, now), "off");
    s.state = RelayState::Connecting;
    EXPECT_EQ(RelayStatusText(s, now), "connecting");
    s.state = RelayState::Live;
    s.since = now - std::chrono::seconds(12 * 60 + 34);
    EXPECT_EQ(RelayStatusText(s, now), "live 00:12:34");
    s.since = now - std::chrono::seconds(26 * 3600 + 5);
    EXPECT_EQ(RelayStatusText(s, now), "live 26:00:05");
    s.state = RelayState::Retrying;
    s.error = "connection refused by 127.0.0.1:1935";
    s.since = now + std::chrono::milliseconds(7400);
    EXPECT_EQ(RelayStatusText(s, now), "connection refused by 127.0.0.1:1935; retry in 8 s");
    s.since = now - std::chrono::seconds(1); // the attempt is due
    EXPECT_EQ(RelayStatusText(s, now), "connection refused by 127.0.0.1:1935; retry in 1 s");
    s.state = RelayState::Failed;
    s.error = "bad URL: the address has no host";
    EXPECT_EQ(RelayStatusText(s, now), "bad URL: the address has no host");
}

} // namespace
