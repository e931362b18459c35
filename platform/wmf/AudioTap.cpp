// Consumer list of the audio tap.

#include "platform/wmf/AudioTap.h"

AudioTap::Subscription AudioTap::Subscribe(Consumer consumer)
{
    if (!consumer)
        return 0;
    std::lock_guard lock(m_lock);
    const Subscription id = m_next++;
    m_consumers.emplace_back(id, std::move(consumer));
    m_count = m_consumers.size();
    return id;
}

void AudioTap::Unsubscribe(Subscription subscription)
{
    std::lock_guard lock(m_lock);
    std::erase_if(m_consumers, [&](const auto& c) { return c.first == subscription; });
    m_count = m_consumers.size();
}

void AudioTap::Publish(const TappedAudio& audio)
{
    std::lock_guard lock(m_lock);
    for (const auto& c : m_consumers)
        c.second(audio);
}
