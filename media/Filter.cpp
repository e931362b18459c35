#include "media/Filter.h"

TFilter::TFilter() : m_baseFilter(std::make_unique<TBaseFilter>()) {}

TFilter::~TFilter()
{
    m_baseFilter.reset();
    SetFilterGraph(nullptr);
}

void TFilter::SetFilterGraph(TFilterGraph* graph)
{
    SwitchMemberGraph(this, m_graph, graph);
}

void TFilter::FilterGraphFreed(TFilterGraph* graph)
{
    if (graph == m_graph)
        m_graph = nullptr;
}

HRESULT TFilter::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (m_filter)
        return m_filter->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
}

void TFilter::NotifyFilter(TMemberNotice notice, int32_t)
{
    switch (notice) {
    case mnAdding:
        m_filter = m_baseFilter ? m_baseFilter->BindFilter() : nullptr;
        break;
    case mnAdded:
        break;
    case mnRemoving:
        if (m_filter) {
            FILTER_STATE state = State_Stopped;
            if (m_filter->GetState(0, &state) == S_OK && (state == State_Paused || state == State_Running))
                m_filter->Stop();
        }
        break;
    case mnRemoved:
        m_filter = nullptr;
        break;
    }
}
