#pragma once
// TFilter: a member component of a TFilterGraph that holds a device's
// moniker (BaseFilter) and, while the graph is active, the filter object
// bound from it.

#include "media/FilterGraph.h"

class TFilter : public IMemberFilter, public IGraphFreeNotify {
public:
    TFilter();
    virtual ~TFilter();
    TFilter(const TFilter&) = delete;
    TFilter& operator=(const TFilter&) = delete;

    const std::string& Name() const { return m_name; }
    void SetName(std::string name) { m_name = std::move(name); }

    TBaseFilter* BaseFilter() const { return m_baseFilter.get(); }
    TFilterGraph* FilterGraph() const { return m_graph; }
    void SetFilterGraph(TFilterGraph* graph);

    // The component's own interfaces, then (while it has one) the filter
    // object's: this is how the program gets the device's IBaseFilter.
    HRESULT QueryInterface(REFIID riid, void** ppv);

    // IMemberFilter
    ComPtr<IBaseFilter> GetBaseFilter() override { return m_filter; }
    std::string GetFilterName() override { return m_name; }
    void NotifyFilter(TMemberNotice notice, int32_t param = 0) override;

private:
    void FilterGraphFreed(TFilterGraph* graph) override;

    std::string m_name;
    std::unique_ptr<TBaseFilter> m_baseFilter;
    TFilterGraph* m_graph = nullptr;
    ComPtr<IBaseFilter> m_filter;
};
