#include "media/FilterGraph.h"

#include "platform/dshow/WindowMessage.h"
#include "platform/ui/Application.h"

#include <QObject>

#include <algorithm>
#include <cmath>
#include <fcntl.h>
#include <unistd.h>

int32_t LinearToVolume(int32_t value)
{
    return static_cast<int32_t>(std::lround(std::log(static_cast<double>(value) + 1.0) * 1085.73)) - 10000;
}

// ---- the component's platform face: builder callbacks and services ---------------------

class TFilterGraph::CallbackObject final
    : public ComObject<IAMGraphBuilderCallback, IAMFilterGraphCallback, IServiceProvider, IFilterGraphComponent> {
public:
    explicit CallbackObject(TFilterGraph* owner) : m_owner(owner) {}
    void Detach() { m_owner = nullptr; }

    HRESULT SelectedFilter(IMoniker* moniker) override { return m_owner ? m_owner->SelectedFilter(moniker) : S_OK; }
    HRESULT CreatedFilter(IBaseFilter* filter) override { return m_owner ? m_owner->CreatedFilter(filter) : S_OK; }
    HRESULT UnableToRender(IPin* pin) override { return m_owner ? m_owner->UnableToRender(pin) : S_FALSE; }
    HRESULT QueryService(REFGUID service, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (m_owner && service == ComponentServiceId && riid == ComponentServiceId)
            return QueryInterface(IFilterGraphComponent::iid, ppv);
        return E_NOINTERFACE;
    }
    TFilterGraph* Component() override { return m_owner; }

private:
    TFilterGraph* m_owner;
};

// The hidden window: WM_GRAPHNOTIFY runs the event pump.
class TFilterGraph::NotifyWindow final : public QObject {
public:
    explicit NotifyWindow(TFilterGraph& owner) : m_owner(owner) {}

protected:
    bool event(QEvent* e) override
    {
        if (e->type() == WindowMessageEvent::Type()) {
            if (static_cast<WindowMessageEvent*>(e)->Message() == WM_GRAPHNOTIFY)
                m_owner.PumpEvents();
            return true;
        }
        return QObject::event(e);
    }

private:
    TFilterGraph& m_owner;
};

// ---- construction ------------------------------------------------------------------------

TFilterGraph::TFilterGraph()
{
    RegisterMediaFrameworkClasses();
    m_window = std::make_unique<NotifyWindow>(*this);
    m_callbacks = NewComObject<CallbackObject>(this);
}

TFilterGraph::~TFilterGraph()
{
    SetActive(false);
    // Components pointing at us forget us without calling back.
    const auto clients = m_freeNotify;
    m_freeNotify.clear();
    for (IGraphFreeNotify* client : clients)
        client->FilterGraphFreed(this);
    m_window.reset();
    m_callbacks->Detach();
    m_callbacks->Release();
}

QObject* TFilterGraph::NotificationWindow() const
{
    return m_window.get();
}

void TFilterGraph::Loaded()
{
    if (m_autoCreate)
        SetActive(true);
}

// ---- activation -----------------------------------------------------------------------------

void TFilterGraph::SetActive(bool value)
{
    if (value == m_active)
        return;
    if (value) {
        // Creation results are not checked: without a framework the
        // component is active with no graph, and every later call copes.
        switch (m_mode) {
        case gmNormal:
            CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IFilterGraph2::iid, m_graph.ReleaseAndGetVoid());
            break;
        case gmCapture:
            CoCreateInstance(CLSID_CaptureGraphBuilder2, nullptr, CLSCTX_INPROC_SERVER, ICaptureGraphBuilder2::iid,
                             m_captureBuilder.ReleaseAndGetVoid());
            CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IFilterGraph2::iid, m_graph.ReleaseAndGetVoid());
            if (m_captureBuilder && m_graph)
                m_captureBuilder->SetFiltergraph(m_graph.Get());
            break;
        case gmDVD:
            CoCreateInstance(CLSID_DvdGraphBuilder, nullptr, CLSCTX_INPROC_SERVER, IDvdGraphBuilder::iid,
                             m_dvdBuilder.ReleaseAndGetVoid());
            if (m_dvdBuilder) {
                ComPtr<IGraphBuilder> builder;
                m_dvdBuilder->GetFiltergraph(builder.GetAddressOf());
                m_graph = builder.As<IFilterGraph2>();
            }
            break;
        }
        m_active = true;

        ComPtr<IMediaEventEx> events;
        if (SUCCEEDED(QueryInterface(IMediaEventEx::iid, events.ReleaseAndGetVoid())) && events) {
            m_events = events;
            m_events->SetNotifyFlags(0);
            m_events->SetNotifyWindow(reinterpret_cast<OAHWND>(m_window.get()), WM_GRAPHNOTIFY,
                                      reinterpret_cast<LONG_PTR>(m_events.Get()));
        }
        if (auto site = m_graph.As<IObjectWithSite>()) {
            site->SetSite(static_cast<IAMGraphBuilderCallback*>(m_callbacks));
            site->SetSite(static_cast<IAMFilterGraphCallback*>(m_callbacks));
        }
        SetGraphEdit(m_graphEdit);
        SetLogFile(m_logFile);
        if (m_members)
            for (IMemberFilter* member : std::vector<IMemberFilter*>(*m_members))
                InsertMember(member);
        if (OnActivate)
            OnActivate(this);
        SendControlEvent(ceActive, 1);
    } else {
        SendControlEvent(ceActive, 0);
        if (m_members)
            for (IMemberFilter* member : std::vector<IMemberFilter*>(*m_members))
                RemoveMemberFilter(member);
        if (m_events) {
            m_events->SetNotifyFlags(1);
            m_events = nullptr;
        }
        if (m_rotCookie) {
            UnregisterGraphFromRot(m_rotCookie);
            m_rotCookie = 0;
        }
        if (m_graph)
            m_graph->SetLogFile(-1);
        if (m_logDescriptor >= 0) {
            ::close(m_logDescriptor);
            m_logDescriptor = -1;
        }
        m_graph = nullptr;
        m_captureBuilder = nullptr;
        m_dvdBuilder = nullptr;
        m_active = false;
    }
}

void TFilterGraph::InsertMember(IMemberFilter* member)
{
    member->NotifyFilter(mnAdding, 0);
    const std::string name = member->GetFilterName();
    ComPtr<IBaseFilter> filter = member->GetBaseFilter();
    if (m_graph && filter)
        m_graph->AddFilter(filter.Get(), name.c_str());
    member->NotifyFilter(mnAdded, 0);
}

void TFilterGraph::RemoveMemberFilter(IMemberFilter* member)
{
    member->NotifyFilter(mnRemoving, 0);
    ComPtr<IBaseFilter> filter = member->GetBaseFilter();
    if (m_graph && filter)
        m_graph->RemoveFilter(filter.Get());
    member->NotifyFilter(mnRemoved, 0);
}

void TFilterGraph::SetMode(TGraphMode value)
{
    if (value == m_mode)
        return;
    const bool wasActive = m_active;
    SetActive(false);
    m_mode = value;
    SetActive(wasActive);
}

void TFilterGraph::SetGraphEdit(bool value)
{
    if (!value) {
        if (m_rotCookie) {
            UnregisterGraphFromRot(m_rotCookie);
            m_rotCookie = 0;
        }
    } else if (!m_rotCookie && m_active && m_graph) {
        DWORD cookie = 0;
        if (SUCCEEDED(RegisterGraphInRot(m_graph.Get(), cookie)))
            m_rotCookie = cookie;
    }
    m_graphEdit = value;
}

void TFilterGraph::SetLogFile(const std::string& value)
{
    if (m_active) {
        if (m_graph)
            m_graph->SetLogFile(-1);
        if (m_logDescriptor >= 0) {
            ::close(m_logDescriptor);
            m_logDescriptor = -1;
        }
        if (!value.empty()) {
            const int fd = ::open(value.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0)
                return; // log stays off, the property keeps its previous value
            m_logDescriptor = fd;
            if (m_graph)
                m_graph->SetLogFile(fd);
        }
    }
    m_logFile = value;
}

// ---- members and listeners --------------------------------------------------------------

void TFilterGraph::AddMember(IMemberFilter* member)
{
    if (!member)
        return;
    if (!m_members)
        m_members = std::make_unique<std::vector<IMemberFilter*>>();
    m_members->push_back(member);
    if (m_active)
        InsertMember(member);
}

void TFilterGraph::RemoveMember(IMemberFilter* member)
{
    if (!m_members)
        return;
    auto it = std::find(m_members->begin(), m_members->end(), member);
    if (it == m_members->end())
        return;
    m_members->erase(it);
    if (m_active)
        RemoveMemberFilter(member);
    if (m_members->empty())
        m_members.reset();
}

void TFilterGraph::AddListener(IGraphListener* listener)
{
    if (!listener)
        return;
    if (!m_listeners)
        m_listeners = std::make_unique<std::vector<IGraphListener*>>();
    m_listeners->push_back(listener);
}

void TFilterGraph::RemoveListener(IGraphListener* listener)
{
    if (!m_listeners)
        return;
    auto it = std::find(m_listeners->begin(), m_listeners->end(), listener);
    if (it != m_listeners->end())
        m_listeners->erase(it);
    if (m_listeners->empty())
        m_listeners.reset();
}

void TFilterGraph::FreeNotification(IGraphFreeNotify* client)
{
    if (client && std::find(m_freeNotify.begin(), m_freeNotify.end(), client) == m_freeNotify.end())
        m_freeNotify.push_back(client);
}

void TFilterGraph::RemoveFreeNotification(IGraphFreeNotify* client)
{
    m_freeNotify.erase(std::remove(m_freeNotify.begin(), m_freeNotify.end(), client), m_freeNotify.end());
}

void TFilterGraph::SendControlEvent(TControlEventKind event, int32_t param)
{
    if (!m_listeners)
        return;
    for (IGraphListener* listener : std::vector<IGraphListener*>(*m_listeners))
        listener->ControlEvent(event, param);
}

// ---- operations -------------------------------------------------------------------------------

bool TFilterGraph::Play()
{
    auto control = m_graph.As<IMediaControl>();
    if (!m_active || !control)
        return false;
    SendControlEvent(cePlay, 0);
    return SUCCEEDED(CheckGraphResult(control->Run()));
}

bool TFilterGraph::Stop()
{
    auto control = m_graph.As<IMediaControl>();
    if (!m_active || !control)
        return false;
    SendControlEvent(ceStop, 0);
    return SUCCEEDED(CheckGraphResult(control->Stop()));
}

void TFilterGraph::DisconnectFilters()
{
    if (!m_active || !m_graph)
        return;
    TFilterList filters(m_graph.Get());
    for (int i = 0; i < filters.Count(); ++i) {
        TPinList pins(filters.Item(i).Get());
        for (int j = 0; j < pins.Count(); ++j)
            CheckGraphResult(pins.Item(j)->Disconnect());
    }
}

void TFilterGraph::ClearGraph()
{
    if (!m_graph)
        return;
    Stop();
    DisconnectFilters();
    TFilterList filters(m_graph.Get());
    if (m_members)
        for (IMemberFilter* member : *m_members)
            if (ComPtr<IBaseFilter> filter = member->GetBaseFilter())
                filters.Remove(filter.Get());
    for (int i = 0; i < filters.Count(); ++i)
        CheckGraphResult(m_graph->RemoveFilter(filters.Item(i).Get()));
}

HRESULT TFilterGraph::QueryInterface(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    *ppv = nullptr;
    if (riid == IAMGraphBuilderCallback::iid || riid == IAMFilterGraphCallback::iid || riid == IServiceProvider::iid)
        return m_callbacks->QueryInterface(riid, ppv);
    if (!m_active)
        return E_NOINTERFACE;
    HRESULT hr = E_NOINTERFACE;
    switch (m_mode) {
    case gmNormal:
        break;
    case gmCapture:
        if (m_captureBuilder)
            hr = m_captureBuilder->QueryInterface(riid, ppv);
        break;
    case gmDVD:
        if (m_dvdBuilder) {
            hr = m_dvdBuilder->QueryInterface(riid, ppv);
            if (FAILED(hr))
                hr = m_dvdBuilder->GetDvdInterface(riid, ppv);
        }
        break;
    }
    if (FAILED(hr) && m_graph)
        hr = m_graph->QueryInterface(riid, ppv);
    return hr;
}

// ---- volume ----------------------------------------------------------------------------------

void TFilterGraph::SetVolume(int32_t value)
{
    m_volume = std::clamp<int32_t>(value, 0, 10000);
    ApplyVolume();
}

void TFilterGraph::SetBalance(int32_t value)
{
    m_balance = std::clamp<int32_t>(value, -10000, 10000);
    ApplyBalance();
}

void TFilterGraph::SetLinearVolume(bool value)
{
    if (value == m_linearVolume)
        return;
    m_linearVolume = value;
    ApplyVolume();
    ApplyBalance();
}

void TFilterGraph::ApplyVolume()
{
    ComPtr<IBasicAudio> audio;
    if (m_graph && SUCCEEDED(m_graph->QueryInterface(IBasicAudio::iid, audio.ReleaseAndGetVoid())) && audio)
        audio->put_Volume(m_linearVolume ? LinearToVolume(m_volume) : m_volume - 10000);
}

void TFilterGraph::ApplyBalance()
{
    ComPtr<IBasicAudio> audio;
    if (!m_graph || FAILED(m_graph->QueryInterface(IBasicAudio::iid, audio.ReleaseAndGetVoid())) || !audio)
        return;
    if (!m_linearVolume) {
        audio->put_Balance(m_balance);
        return;
    }
    // Linear: the weaker side is attenuated as a linear volume of
    // 10000 - |balance| would be (0 stays centred, +-10000 silences a side).
    const int32_t attenuation = LinearToVolume(10000 - std::abs(m_balance)); // -10000..0
    audio->put_Balance(m_balance >= 0 ? -attenuation : attenuation);
}

// ---- events -------------------------------------------------------------------------------------

void TFilterGraph::PumpEvents()
{
    while (ComPtr<IMediaEventEx> events = m_events) {
        long code = 0;
        LONG_PTR p1 = 0, p2 = 0;
        if (events->GetEvent(&code, &p1, &p2, 0) != S_OK)
            return;
        try {
            HandleGraphEvent(code, p1, p2);
        } catch (const std::exception& e) {
            events->FreeEventParams(code, p1, p2);
            Application::Instance().HandleException(e);
            return;
        }
        events->FreeEventParams(code, p1, p2);
    }
}

void TFilterGraph::HandleGraphEvent(long code, LONG_PTR p1, LONG_PTR p2)
{
    if (m_listeners)
        for (IGraphListener* listener : std::vector<IGraphListener*>(*m_listeners))
            listener->GraphEvent(code, p1, p2);
    if (OnDSEvent)
        OnDSEvent(this, code, p1, p2);

    auto i32 = [](LONG_PTR v) { return static_cast<int32_t>(v); };
    auto str = [](LONG_PTR v) { return v ? std::string(reinterpret_cast<const char*>(v)) : std::string(); };
    switch (code) {
    case 1: if (OnGraphComplete) OnGraphComplete(this, i32(p1), reinterpret_cast<IBaseFilter*>(p2)); break;
    case 2: if (OnGraphUserAbort) OnGraphUserAbort(this); break;
    case 3: if (OnGraphErrorAbort) OnGraphErrorAbort(this, i32(p1)); break;
    case 6: if (OnGraphStreamErrorStopped) OnGraphStreamErrorStopped(this, i32(p1), i32(p2)); break;
    case 7: if (OnGraphStreamErrorStillPlaying) OnGraphStreamErrorStillPlaying(this, i32(p1), i32(p2)); break;
    case 8: if (OnGraphErrorStillPlaying) OnGraphErrorStillPlaying(this, i32(p1)); break;
    case 9: if (OnGraphPaletteChanged) OnGraphPaletteChanged(this); break;
    case 10:
        if (OnGraphVideoSizeChanged)
            OnGraphVideoSizeChanged(this, static_cast<int>(p1 & 0xFFFF), static_cast<int>((p1 >> 16) & 0xFFFF));
        break;
    case 11: if (OnGraphQualityChange) OnGraphQualityChange(this); break;
    case 13: if (OnGraphClockChanged) OnGraphClockChanged(this); break;
    case 14: if (OnGraphPaused) OnGraphPaused(this, i32(p1)); break;
    case 16: if (OnGraphOpeningFile) OnGraphOpeningFile(this, p1 != 0); break;
    case 17: if (OnGraphBufferingData) OnGraphBufferingData(this, p1 != 0); break;
    case 18: if (OnGraphFullscreenLost) OnGraphFullscreenLost(this, reinterpret_cast<IBaseFilter*>(p2)); break;
    case 24: if (OnGraphOleEvent) OnGraphOleEvent(this, str(p1), str(p2)); break;
    case 26: if (OnGraphStreamControlStopped) OnGraphStreamControlStopped(this, reinterpret_cast<IPin*>(p1), i32(p2)); break;
    case 27: if (OnGraphStreamControlStarted) OnGraphStreamControlStarted(this, reinterpret_cast<IPin*>(p1), i32(p2)); break;
    case 28:
        if (OnGraphEndOfSegment)
            OnGraphEndOfSegment(this, p1 ? *reinterpret_cast<const REFERENCE_TIME*>(p1) : 0, i32(p2));
        break;
    case 31: if (OnGraphDeviceLost) OnGraphDeviceLost(this, reinterpret_cast<IUnknown*>(p1), p2 == 1); break;
    case 36: if (OnGraphStepComplete) OnGraphStepComplete(this); break;
    case 48: if (OnGraphTimeCodeAvailable) OnGraphTimeCodeAvailable(this, reinterpret_cast<IBaseFilter*>(p1), i32(p2)); break;
    case 49: if (OnGraphEXTDeviceModeChange) OnGraphEXTDeviceModeChange(this, i32(p1), i32(p2)); break;
    case 80: if (OnGraphChanged) OnGraphChanged(this); break;
    case 81: if (OnGraphClockUnset) OnGraphClockUnset(this); break;
    case 83: if (OnGraphVMRRenderDevice) OnGraphVMRRenderDevice(this, i32(p1)); break;
    case 512: if (OnGraphSNDDevInError) OnGraphSNDDevInError(this, i32(p1), i32(p2)); break;
    case 513: if (OnGraphSNDDevOutError) OnGraphSNDDevOutError(this, i32(p1), i32(p2)); break;
    default:
        if (code >= 257 && code <= 283)
            HandleDVDEvent(code, p1, p2);
        break;
    }
}

namespace {

struct TimeCode {
    int hours, minutes, seconds, frames, rate;
};

// Packed DVD time code, read from the most significant end: hour units,
// hour tens, minute units, minute tens, second units, second tens, frame
// units (4 bits each), frame tens (2 bits), frame-rate code (2 bits).
TimeCode DecodeTimeCode(uint32_t v)
{
    auto nibble = [v](int shift) { return static_cast<int>((v >> shift) & 0xF); };
    TimeCode t{};
    t.hours = nibble(28) + 10 * nibble(24);
    t.minutes = nibble(20) + 10 * nibble(16);
    t.seconds = nibble(12) + 10 * nibble(8);
    t.frames = nibble(4) + 10 * static_cast<int>((v >> 2) & 0x3);
    const int code = static_cast<int>(v & 0x3);
    t.rate = code == 1 ? 25 : code == 3 ? 30 : 0;
    return t;
}

// English name of a locale's primary language (the common ones).
std::string LanguageName(LCID lcid)
{
    switch (lcid & 0x3FF) {
    case 0x07: return "German";
    case 0x09: return "English";
    case 0x0A: return "Spanish";
    case 0x0C: return "French";
    case 0x10: return "Italian";
    case 0x11: return "Japanese";
    case 0x12: return "Korean";
    case 0x13: return "Dutch";
    case 0x15: return "Polish";
    case 0x16: return "Portuguese";
    case 0x19: return "Russian";
    case 0x1D: return "Swedish";
    case 0x04: return "Chinese";
    default: return "";
    }
}

} // namespace

void TFilterGraph::HandleDVDEvent(long code, LONG_PTR p1, LONG_PTR p2)
{
    auto fire = [this](const TNotifyEvent& e) { if (e) e(this); };
    auto i32 = [](LONG_PTR v) { return static_cast<int32_t>(v); };
    switch (code) {
    case 257: {
        const TNotifyEvent* domains[] = {&OnDVDDomainFirstPlay, &OnDVDDomainVideoManagerMenu, &OnDVDDomainVideoTitleSetMenu,
                                         &OnDVDDomainTitle, &OnDVDDomainStop};
        if (p1 >= 1 && p1 <= 5) fire(*domains[p1 - 1]);
        break;
    }
    case 258: if (OnDVDTitleChange) OnDVDTitleChange(this, i32(p1)); break;
    case 259: if (OnDVDChapterStart) OnDVDChapterStart(this, i32(p1)); break;
    case 260:
    case 261: {
        auto& handler = code == 260 ? OnDVDAudioStreamChange : OnDVDSubpictureStreamChange;
        if (!handler)
            break;
        LCID lcid = 0;
        ComPtr<IDvdInfo2> info;
        if (SUCCEEDED(QueryInterface(IDvdInfo2::iid, info.ReleaseAndGetVoid())) && info) {
            if (code == 260)
                info->GetAudioLanguage(static_cast<ULONG>(p1), &lcid);
            else
                info->GetSubpictureLanguage(static_cast<ULONG>(p1), &lcid);
        }
        handler(this, i32(p1), LanguageName(lcid), lcid);
        break;
    }
    case 262: if (OnDVDAngleChange) OnDVDAngleChange(this, i32(p1), i32(p2)); break;
    case 263: if (OnDVDButtonChange) OnDVDButtonChange(this, i32(p1), i32(p2)); break;
    case 264: if (OnDVDValidUOPSChange) OnDVDValidUOPSChange(this, i32(p1)); break;
    case 265: if (OnDVDStillOn) OnDVDStillOn(this, p1 == 1, i32(p2)); break;
    case 266: fire(OnDVDStillOff); break;
    case 267:
        if (OnDVDCurrentTime) {
            const TimeCode t = DecodeTimeCode(static_cast<uint32_t>(p1));
            OnDVDCurrentTime(this, t.hours, t.minutes, t.seconds, t.frames, t.rate);
        }
        break;
    case 268: {
        const TNotifyEvent* errors[] = {&OnDVDErrorUnexpected, &OnDVDErrorCopyProtectFail, &OnDVDErrorInvalidDVD1_0Disc,
                                        &OnDVDErrorInvalidDiscRegion, &OnDVDErrorLowParentalLevel, &OnDVDErrorMacrovisionFail,
                                        &OnDVDErrorIncompatibleSystemAndDecoderRegions, &OnDVDErrorIncompatibleDiscAndDecoderRegions};
        if (p1 >= 1 && p1 <= 8) fire(*errors[p1 - 1]);
        break;
    }
    case 269: {
        const TNotifyEvent* warnings[] = {&OnDVDWarningInvalidDVD1_0Disc, &OnDVDWarningFormatNotSupported, &OnDVDWarningIllegalNavCommand,
                                          &OnDVDWarningOpen, &OnDVDWarningSeek, &OnDVDWarningRead};
        if (p1 >= 1 && p1 <= 6) fire(*warnings[p1 - 1]);
        break;
    }
    case 270: fire(OnDVDChapterAutoStop); break;
    case 271: fire(OnDVDNoFP_PGC); break;
    case 272: if (OnDVDPlaybackRateChange) OnDVDPlaybackRateChange(this, static_cast<double>(p1) / 10000.0); break;
    case 273: if (OnDVDParentalLevelChange) OnDVDParentalLevelChange(this, i32(p1)); break;
    case 274: fire(OnDVDPlaybackStopped); break;
    case 275: if (OnDVDAnglesAvailable) OnDVDAnglesAvailable(this, p1 != 0); break;
    case 276: fire(OnDVDPlayPeriodAutoStop); break;
    case 277: if (OnDVDButtonAutoActivated) OnDVDButtonAutoActivated(this, i32(p1)); break;
    case 278: if (OnDVDCMDStart) OnDVDCMDStart(this, i32(p1)); break;
    case 279: if (OnDVDCMDEnd) OnDVDCMDEnd(this, i32(p1)); break;
    case 280: fire(OnDVDDiscEjected); break;
    case 281: fire(OnDVDDiscInserted); break;
    case 282:
        if (OnDVDCurrentHMSFTime) {
            const TimeCode t = DecodeTimeCode(static_cast<uint32_t>(p2));
            OnDVDCurrentHMSFTime(this, i32(p1), t.hours, t.minutes, t.seconds, t.frames, t.rate);
        }
        break;
    case 283: if (OnDVDKaraokeMode) OnDVDKaraokeMode(this, p1 != 0); break;
    default: break;
    }
}

// ---- builder callbacks ------------------------------------------------------------------------

HRESULT TFilterGraph::SelectedFilter(IMoniker* moniker)
{
    if (!OnSelectedFilter)
        return S_OK;
    GUID classId = GUID_NULL;
    std::string name;
    ComPtr<IPropertyBag> bag;
    if (moniker)
        moniker->BindToStorage(nullptr, nullptr, IPropertyBag::iid, bag.ReleaseAndGetVoid());
    if (bag) {
        VARIANT v;
        if (SUCCEEDED(bag->Read("CLSID", &v, nullptr)))
            CLSIDFromString(v.bstrVal.c_str(), &classId);
        VARIANT n;
        if (SUCCEEDED(bag->Read("FriendlyName", &n, nullptr)))
            name = n.bstrVal;
    }
    return OnSelectedFilter(moniker, name, classId) ? S_OK : E_FAIL;
}

HRESULT TFilterGraph::CreatedFilter(IBaseFilter* filter)
{
    if (!OnCreatedFilter)
        return S_OK;
    GUID classId = GUID_NULL;
    if (filter)
        filter->GetClassID(&classId);
    return OnCreatedFilter(filter, classId) ? S_OK : E_FAIL;
}

HRESULT TFilterGraph::UnableToRender(IPin* pin)
{
    if (!pin)
        return S_FALSE;
    PIN_INFO pinInfo;
    if (FAILED(pin->QueryPinInfo(&pinInfo)) || !pinInfo.pFilter)
        return S_FALSE;
    FILTER_INFO filterInfo;
    if (FAILED(pinInfo.pFilter->QueryFilterInfo(&filterInfo)) || !filterInfo.pGraph)
        return S_FALSE;
    auto provider = filterInfo.pGraph.As<IServiceProvider>();
    if (!provider)
        return S_FALSE;
    ComPtr<IFilterGraphComponent> component;
    if (FAILED(provider->QueryService(ComponentServiceId, ComponentServiceId, component.ReleaseAndGetVoid())) || !component)
        return S_FALSE;
    TFilterGraph* owner = component->Component();
    if (owner && owner->OnUnableToRender && owner->OnUnableToRender(pin))
        return S_OK;
    return S_FALSE;
}
