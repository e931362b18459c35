#include "platform/wmf/PictureSlot.h"

void WorkerState::Start(std::thread& thread, std::function<void()> body)
{
    if (thread.joinable())
        return;
    {
        std::lock_guard guard(lock);
        stop = false;
    }
    thread = std::thread(std::move(body));
}

void WorkerState::Stop(std::thread& thread)
{
    if (!thread.joinable())
        return;
    {
        std::lock_guard guard(lock);
        stop = true;
    }
    signal.notify_all();
    thread.join();
}

void PictureSlot::OnPicture(const TappedPicture& picture)
{
    {
        std::lock_guard guard(lock);
        pending = picture;
        havePending = true;
        handed = std::chrono::steady_clock::now();
        Parked(picture);
    }
    signal.notify_all();
}

void PictureSlot::OnPicturesEnd()
{
    {
        std::lock_guard guard(lock);
        ended = true;
        havePending = false;
    }
    signal.notify_all();
}

void PictureSlot::MoveTo(std::unique_lock<std::mutex>& guard, const std::shared_ptr<PictureSlot>& slot,
    std::shared_ptr<PictureTap>& attached, const std::shared_ptr<PictureTap>& wanted)
{
    if (wanted == attached)
        return;
    guard.unlock();
    if (attached)
        attached->Remove(slot.get());
    if (wanted)
        wanted->Add(slot);
    attached = wanted;
    guard.lock();
    slot->havePending = false;
}
