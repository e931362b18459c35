#pragma once
// TASFWriter: a member component of a TFilterGraph that puts the Windows
// Media ASF writer filter into the graph, configures it from its settings
// and, when Port and MaxUsers are both set, attaches an HTTP network sink
// that serves the encoded stream on Port to at most MaxUsers clients.

#include "media/FilterGraph.h"
#include "platform/wmf/SinkRoutes.h"
#include "platform/wmf/WMAsfWriter.h"

#include <string>

// The Windows Media 8 system profiles, by their index in the writer's table.
enum TWMProfiles8 : uint8_t {
    wmp_V80_255VideoPDA = 0,
    wmp_V80_150VideoPDA,
    wmp_V80_28856VideoMBR,
    wmp_V80_100768VideoMBR,
    wmp_V80_288100VideoMBR,
    wmp_V80_288Video,
    wmp_V80_56Video,
    wmp_V80_100Video,
    wmp_V80_256Video,
    wmp_V80_384Video,
    wmp_V80_768Video,
    wmp_V80_700NTSCVideo,
    wmp_V80_1400NTSCVideo,
    wmp_V80_384PALVideo,
    wmp_V80_700PALVideo,
    wmp_V80_288MonoAudio,
    wmp_V80_288StereoAudio,
    wmp_V80_32StereoAudio,
    wmp_V80_48StereoAudio,
    wmp_V80_64StereoAudio,
    wmp_V80_96StereoAudio,
    wmp_V80_128StereoAudio,
    wmp_V80_288VideoOnly,
    wmp_V80_56VideoOnly,
    wmp_V80_FAIRVBRVideo,
    wmp_V80_HIGHVBRVideo,
    wmp_V80_BESTVBRVideo,
};

// The profile GUID of a table entry.
const GUID& WMProfiles8Guid(TWMProfiles8 profile);
// The first table index whose GUID equals `guid`; 255 when none does.
uint8_t ProfileIndexFromGuid(const GUID& guid);

class TASFWriter : public IMemberFilter, public IGraphFreeNotify {
public:
    TASFWriter();
    virtual ~TASFWriter();
    TASFWriter(const TASFWriter&) = delete;
    TASFWriter& operator=(const TASFWriter&) = delete;

    const std::string& Name() const { return m_name; }
    void SetName(std::string name) { m_name = std::move(name); }

    // ---- published properties ----
    TFilterGraph* FilterGraph() const { return m_graph; }
    void SetFilterGraph(TFilterGraph* graph);
    // While the writer filter exists: its current profile (255 when it is
    // none of the table); otherwise the stored value.
    TWMProfiles8 Profile();
    // While the filter exists: configures it (the stored value stays);
    // otherwise stores the value for the next insertion.
    void SetProfile(TWMProfiles8 value);
    std::string FileName();
    void SetFileName(const std::string& value);
    // The network sink's port (0 = no sink); after activation the port the
    // sink really opened.
    uint32_t Port() const { return m_port; }
    void SetPort(uint32_t value) { m_port = value; }
    uint32_t MaxUsers() const { return m_maxUsers; }
    void SetMaxUsers(uint32_t value) { m_maxUsers = value; }
    bool AutoIndex() const { return m_autoIndex; }
    void SetAutoIndex(bool value) { m_autoIndex = value; }
    bool MultiPass() const { return m_multiPass; }
    void SetMultiPass(bool value) { m_multiPass = value; }
    bool DontCompress() const { return m_dontCompress; }
    void SetDontCompress(bool value) { m_dontCompress = value; }
    // Other paths served on the network sink's port (see SinkRoutes.h),
    // installed on the sink before it opens at the next activation.
    void SetRouteHook(std::shared_ptr<ISinkRouteHook> hook) { m_routeHook = std::move(hook); }
    // The gate every request on the sink's port passes first (SinkGate.h),
    // installed as the hook is.
    void SetGate(std::shared_ptr<ISinkGate> gate) { m_gate = std::move(gate); }

    // ---- while a member of an active graph ----
    const ComPtr<IWMWriterAdvanced2>& WriterAdvanced() const { return m_writerAdvanced; }
    const ComPtr<IWMWriterNetworkSink>& NetworkSink() const { return m_networkSink; }

    // The component's own interfaces (none), then the writer filter's:
    // IBaseFilter, IConfigAsfWriter(2), IFileSinkFilter, IServiceProvider.
    HRESULT QueryInterface(REFIID riid, void** ppv);

    // IMemberFilter
    ComPtr<IBaseFilter> GetBaseFilter() override { return m_filter; }
    std::string GetFilterName() override { return m_name; }
    void NotifyFilter(TMemberNotice notice, int32_t param = 0) override;

private:
    void FilterGraphFreed(TFilterGraph* graph) override;
    template <class T>
    ComPtr<T> Query()
    {
        ComPtr<T> out;
        QueryInterface(T::iid, out.ReleaseAndGetVoid());
        return out;
    }

    std::string m_name;
    TFilterGraph* m_graph = nullptr;
    TWMProfiles8 m_profile = wmp_V80_255VideoPDA;
    std::string m_fileName;
    uint32_t m_port = 0;
    uint32_t m_maxUsers = 0;
    bool m_autoIndex = true;
    bool m_multiPass = false;
    bool m_dontCompress = false;
    std::shared_ptr<ISinkRouteHook> m_routeHook;
    std::shared_ptr<ISinkGate> m_gate;

    ComPtr<IBaseFilter> m_filter;
    ComPtr<IWMWriterAdvanced2> m_writerAdvanced;
    ComPtr<IWMWriterNetworkSink> m_networkSink;
    ComPtr<IPin> m_firstPin;
    ComPtr<IPin> m_secondPin;
};
