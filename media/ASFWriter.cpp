#include "media/ASFWriter.h"

#include "media/MediaUtil.h"
#include "platform/wmf/SinkRoutes.h"

const GUID& WMProfiles8Guid(TWMProfiles8 profile)
{
    return WMSystemProfileAt(profile < kWMSystemProfileCount ? profile : 0).id;
}

uint8_t ProfileIndexFromGuid(const GUID& guid)
{
    for (int i = 0; i < kWMSystemProfileCount; ++i)
        if (WMSystemProfileAt(i).id == guid)
            return static_cast<uint8_t>(i);
    return 255;
}

TASFWriter::TASFWriter() { RegisterWMAsfWriterClass(); }

TASFWriter::~TASFWriter() { SetFilterGraph(nullptr); }

void TASFWriter::SetFilterGraph(TFilterGraph* graph)
{
    SwitchMemberGraph(this, m_graph, graph);
}

void TASFWriter::FilterGraphFreed(TFilterGraph* graph)
{
    if (graph == m_graph)
        m_graph = nullptr;
}

HRESULT TASFWriter::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (m_filter)
        return m_filter->QueryInterface(riid, ppv);
    return E_NOINTERFACE;
}

TWMProfiles8 TASFWriter::Profile()
{
    if (auto config = Query<IConfigAsfWriter>()) {
        GUID guid = GUID_NULL;
        config->GetCurrentProfileGuid(&guid);
        return static_cast<TWMProfiles8>(ProfileIndexFromGuid(guid));
    }
    return m_profile;
}

void TASFWriter::SetProfile(TWMProfiles8 value)
{
    if (auto config = Query<IConfigAsfWriter>())
        config->ConfigureFilterUsingProfileGuid(WMProfiles8Guid(value));
    else
        m_profile = value;
}

std::string TASFWriter::FileName()
{
    if (auto sink = Query<IFileSinkFilter>()) {
        std::string name;
        sink->GetCurFile(&name, nullptr);
        return name;
    }
    return m_fileName;
}

void TASFWriter::SetFileName(const std::string& value)
{
    m_fileName = value;
    if (auto sink = Query<IFileSinkFilter>())
        sink->SetFileName(value.c_str(), nullptr);
}

void TASFWriter::NotifyFilter(TMemberNotice notice, int32_t)
{
    switch (notice) {
    case mnAdding:
        m_filter = nullptr;
        CoCreateInstance(CLSID_WMAsfWriter, nullptr, CLSCTX_INPROC_SERVER | CLSCTX_LOCAL_SERVER, IBaseFilter::iid,
            m_filter.ReleaseAndGetVoid());
        break;

    case mnAdded: {
        if (!m_filter)
            break;
        SetProfile(m_profile);
        SetFileName(m_fileName);
        if (auto config = Query<IConfigAsfWriter2>()) {
            config->SetParam(AM_CONFIGASFWRITER_PARAM_AUTOINDEX, m_autoIndex ? 1 : 0, 0);
            config->SetParam(AM_CONFIGASFWRITER_PARAM_MULTIPASS, m_multiPass ? 1 : 0, 0);
            config->SetParam(AM_CONFIGASFWRITER_PARAM_DONTCOMPRESS, m_dontCompress ? 1 : 0, 0);
        }
        const TPinList pins(m_filter.Get());
        if (pins.Count() == 0)
            break;
        m_firstPin = pins.Item(0);
        if (pins.Count() == 2)
            m_secondPin = pins.Item(1);
        if (auto provider = Query<IServiceProvider>())
            provider->QueryService(IWMWriterAdvanced2::iid, IWMWriterAdvanced2::iid, m_writerAdvanced.ReleaseAndGetVoid());
        if (m_port > 0 && m_maxUsers > 0 && m_writerAdvanced
            && SUCCEEDED(WMCreateWriterNetworkSink(m_networkSink.GetAddressOf()))) {
            m_networkSink->SetNetworkProtocol(WMT_PROTOCOL_HTTP);
            m_networkSink->SetMaximumClients(m_maxUsers);
            if (auto routes = m_networkSink.As<IWMWriterSinkRoutes>()) {
                routes->SetRouteHook(m_routeHook);
                routes->SetGate(m_gate);
            }
            DWORD port = m_port;
            m_networkSink->Open(&port);
            m_port = port;
            m_writerAdvanced->AddSink(m_networkSink.Get());
        }
        break;
    }

    case mnRemoving:
        if (m_filter)
            m_filter->Stop();
        if (m_networkSink) {
            m_networkSink->Disconnect();
            m_networkSink->Close();
        }
        if (m_firstPin)
            m_firstPin->Disconnect();
        if (m_secondPin)
            m_secondPin->Disconnect();
        break;

    case mnRemoved:
        m_writerAdvanced = nullptr;
        m_networkSink = nullptr;
        m_firstPin = nullptr;
        m_secondPin = nullptr;
        m_filter = nullptr;
        break;
    }
}
