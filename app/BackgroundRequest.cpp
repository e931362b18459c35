#include "app/BackgroundRequest.h"

#include <QMetaObject>

TBackgroundRequest::TBackgroundRequest(QObject* context) : m_context(context) {}

TBackgroundRequest::~TBackgroundRequest()
{
    *m_cancel = true;
    if (m_thread.joinable())
        m_thread.join();
}

bool TBackgroundRequest::Start(Work work, Done done)
{
    if (m_busy)
        return false;
    if (m_thread.joinable())
        m_thread.join(); // finished: its answer is already on its way
    m_busy = true;
    QObject* context = m_context.data();
    const auto cancel = m_cancel;
    m_thread = std::thread([this, context, cancel, work = std::move(work), done = std::move(done)] {
        std::string result, failure;
        try {
            result = work(*cancel);
        } catch (const std::exception& e) {
            failure = e.what();
            if (failure.empty())
                failure = "unknown error";
        }
        if (!*cancel && context)
            // Delivered only while the context lives (Qt drops it otherwise).
            QMetaObject::invokeMethod(
                context, [this, cancel, done, result, failure] {
                    if (*cancel)
                        return;
                    m_busy = false;
                    done(result, failure);
                },
                Qt::QueuedConnection);
        else
            m_busy = false;
    });
    return true;
}
