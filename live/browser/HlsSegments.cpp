#include "live/browser/HlsSegments.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace {

constexpr int64_t kTicksPerSecond = 10000000;

std::string Seconds(int64_t ticks)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", static_cast<double>(ticks) / kTicksPerSecond);
    return text;
}

} // namespace

HlsSegments::HlsSegments(HlsSegmentsOptions options) : m_options(std::move(options)) {}

std::string HlsSegments::SegmentName(const std::string& name, uint64_t sequence)
{
    return name + "-" + std::to_string(sequence) + ".m4s";
}

std::string HlsSegments::InitName(const std::string& name, uint64_t generation)
{
    return name + "-init-" + std::to_string(generation) + ".mp4";
}

void HlsSegments::Take(const std::vector<Mp4FragmentPtr>& fragments)
{
    for (const Mp4FragmentPtr& fragment : fragments) {
        const bool newTrack = fragment->track->generation != m_lastGeneration;
        if (newTrack) {
            if (!m_open.empty())
                Close(m_open.back()->time + m_open.back()->track->frameInterval);
            m_open.clear();
            m_lastGeneration = fragment->track->generation;
            m_track = fragment->track;
            ++m_discontinuity;
        } else if (fragment->key && !m_open.empty()) {
            Close(fragment->time);
        }
        // A segment starts only at a key frame.
        if (m_open.empty() && !fragment->key)
            continue;
        m_open.push_back(fragment);
    }
}

void HlsSegments::Close(int64_t endTime)
{
    auto segment = std::make_shared<HlsSegment>();
    segment->sequence = ++m_sequence;
    segment->track = m_open.front()->track;
    segment->discontinuity = m_discontinuity;
    segment->time = m_open.front()->time;
    segment->duration = std::max<int64_t>(endTime - segment->time, 1);
    auto bytes = std::make_shared<std::vector<uint8_t>>();
    size_t size = 0;
    for (const Mp4FragmentPtr& f : m_open)
        size += f->bytes.size();
    bytes->reserve(size);
    for (const Mp4FragmentPtr& f : m_open)
        bytes->insert(bytes->end(), f->bytes.begin(), f->bytes.end());
    segment->bytes = std::move(bytes);
    m_open.clear();
    m_segments.push_back(std::move(segment));
    while (m_segments.size() > m_options.kept)
        m_segments.pop_front();
}

void HlsSegments::Clear()
{
    m_segments.clear();
    m_open.clear();
    m_lastGeneration = 0; // the next fragment begins a discontinuity
}

size_t HlsSegments::Listed() const { return std::min(m_segments.size(), m_options.listed); }

std::string HlsSegments::MediaPlaylist(const std::string& query) const
{
    const size_t count = Listed();
    const auto first = m_segments.end() - static_cast<std::ptrdiff_t>(count);
    // Every EXTINF rounded to whole seconds is at most the target duration.
    int64_t target = 1;
    for (auto it = first; it != m_segments.end(); ++it)
        target = std::max<int64_t>(target, static_cast<int64_t>(std::llround(static_cast<double>((*it)->duration) / kTicksPerSecond)));
    std::string text = "#EXTM3U\n#EXT-X-VERSION:7\n#EXT-X-TARGETDURATION:" + std::to_string(target) + "\n";
    if (count == 0)
        return text;
    text += "#EXT-X-MEDIA-SEQUENCE:" + std::to_string((*first)->sequence) + "\n";
    text += "#EXT-X-DISCONTINUITY-SEQUENCE:" + std::to_string((*first)->discontinuity - 1) + "\n";
    text += "#EXT-X-INDEPENDENT-SEGMENTS\n";
    uint64_t generation = 0;
    for (auto it = first; it != m_segments.end(); ++it) {
        const HlsSegment& s = **it;
        if (s.track->generation != generation) {
            if (generation != 0)
                text += "#EXT-X-DISCONTINUITY\n";
            generation = s.track->generation;
            text += "#EXT-X-MAP:URI=\"" + InitName(m_options.name, generation) + query + "\"\n";
        }
        text += "#EXTINF:" + Seconds(s.duration) + ",\n" + SegmentName(m_options.name, s.sequence) + query + "\n";
    }
    return text;
}

std::shared_ptr<const std::vector<uint8_t>> HlsSegments::File(const std::string& fileName) const
{
    for (const HlsSegmentPtr& s : m_segments) {
        if (fileName == SegmentName(m_options.name, s->sequence))
            return s->bytes;
        if (fileName == InitName(m_options.name, s->track->generation))
            return std::shared_ptr<const std::vector<uint8_t>>(s->track, &s->track->init);
    }
    return nullptr;
}

bool HlsSegments::Describe(std::string* codecs, int* width, int* height, double* fps) const
{
    if (!m_track)
        return false;
    // avcC: version, profile, profile compatibility, level.
    const std::vector<uint8_t>& init = m_track->init;
    static constexpr uint8_t kAvcC[] = {'a', 'v', 'c', 'C'};
    const auto at = std::search(init.begin(), init.end(), std::begin(kAvcC), std::end(kAvcC));
    if (init.end() - at < 8)
        return false;
    char text[32];
    std::snprintf(text, sizeof text, "avc1.%02x%02x%02x", at[5], at[6], at[7]);
    *codecs = text;
    *width = m_track->width;
    *height = m_track->height;
    *fps = m_track->frameInterval > 0 ? static_cast<double>(kTicksPerSecond) / static_cast<double>(m_track->frameInterval) : 0;
    return true;
}
