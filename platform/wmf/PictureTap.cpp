// Observer list of the writer's picture tap.

#include "platform/wmf/PictureTap.h"

#include <algorithm>

void PictureTap::Add(std::shared_ptr<IPictureObserver> observer)
{
    if (!observer)
        return;
    std::lock_guard lock(m_lock);
    if (std::find(m_observers.begin(), m_observers.end(), observer) != m_observers.end())
        return;
    m_observers.push_back(std::move(observer));
    m_count = m_observers.size();
}

void PictureTap::Remove(const IPictureObserver* observer)
{
    std::lock_guard lock(m_lock);
    std::erase_if(m_observers, [&](const auto& o) { return o.get() == observer; });
    m_count = m_observers.size();
}

void PictureTap::Publish(const TappedPicture& picture)
{
    std::lock_guard lock(m_lock);
    for (const auto& o : m_observers)
        o->OnPicture(picture);
}

void PictureTap::End()
{
    std::lock_guard lock(m_lock);
    for (const auto& o : m_observers)
        o->OnPicturesEnd();
}
