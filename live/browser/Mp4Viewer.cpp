#include "live/browser/Mp4Viewer.h"

#include <cstdio>

using Clock = std::chrono::steady_clock;

// A chunk's size line; a chunk after the first begins with the CR LF that
// ends the one before it.
std::string Mp4Viewer::ChunkHead(size_t bytes, bool first) const
{
    if (m_framing == BodyFraming::UntilClose)
        return {};
    char text[32];
    std::snprintf(text, sizeof text, "%s%zx\r\n", first ? "" : "\r\n", bytes);
    return text;
}

Mp4Viewer::Mp4Viewer(H264Feed& feed, size_t& viewers, BodyFraming framing, Mp4ViewerOptions options)
    : m_feed(feed), m_viewers(&viewers), m_framing(framing), m_options(options), m_since(Clock::now()), m_joinedAfter(feed.LastSequence())
{
    ++*m_viewers;
    m_feed.AskKeyFrame();
}

Mp4Viewer::~Mp4Viewer()
{
    if (m_viewers)
        --*m_viewers;
}

std::string Mp4Viewer::Head(BodyFraming framing)
{
    return std::string("HTTP/1.1 200 OK\r\nContent-Type: video/mp4\r\n")
        + (framing == BodyFraming::Chunked ? "Transfer-Encoding: chunked\r\n" : "")
        + "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
}

void Mp4Viewer::End(RouteConnection& connection)
{
    if (m_started && m_framing == BodyFraming::Chunked)
        connection.Send("\r\n0\r\n\r\n");
    connection.Finish();
    m_done = true;
    if (m_viewers)
        --*m_viewers;
    m_viewers = nullptr;
}

void Mp4Viewer::Turn(RouteConnection& connection, const SinkFacts&)
{
    if (m_done)
        return;
    std::vector<Mp4FragmentPtr> fragments = m_feed.Since(m_started ? m_sent : m_joinedAfter);
    bool starting = false;
    if (!m_started) {
        // The first key frame made after the viewer came.
        auto key = fragments.begin();
        while (key != fragments.end() && !(*key)->key)
            ++key;
        if (key == fragments.end()) {
            if (Clock::now() - m_since > m_options.startTimeout) {
                connection.Refuse(503, "Service Unavailable");
                m_done = true;
            }
            return;
        }
        const Mp4TrackPtr& track = (*key)->track;
        connection.Send(Head(m_framing) + ChunkHead(track->init.size(), true), SharedBytes(track, &track->init));
        m_generation = track->generation;
        m_started = starting = true;
        fragments.erase(fragments.begin(), key);
    }
    if (fragments.empty())
        return;
    if (!m_waitKey && fragments.front()->sequence != m_sent + 1)
        m_waitKey = true; // the feed let go of fragments this viewer never got
    if (!starting && connection.Sending()) {
        // Behind: skip what waits once it is more than the backlog allows.
        if (fragments.back()->made - fragments.front()->made <= m_options.maxBacklog)
            return;
        m_waitKey = true;
        m_feed.AskKeyFrame();
        size_t newestKey = fragments.size();
        for (size_t i = fragments.size(); i-- > 0;)
            if (fragments[i]->key) {
                newestKey = i;
                break;
            }
        // Everything before the newest key frame is skipped; it is sent
        // once the connection has room.
        m_sent = (newestKey < fragments.size() ? fragments[newestKey]->sequence : fragments.back()->sequence + 1) - 1;
        return;
    }
    for (const Mp4FragmentPtr& fragment : fragments) {
        if (fragment->track->generation != m_generation) {
            End(connection); // a new track needs a new response
            return;
        }
        if (m_waitKey && !fragment->key) {
            m_sent = fragment->sequence;
            continue;
        }
        m_waitKey = false;
        connection.Send(ChunkHead(fragment->bytes.size(), false), SharedBytes(fragment, &fragment->bytes));
        m_sent = fragment->sequence;
    }
}

void Mp4Viewer::StreamEnded(RouteConnection& connection)
{
    if (!m_done)
        End(connection);
}
