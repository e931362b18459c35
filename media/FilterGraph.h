#pragma once
// TFilterGraph: the component that owns one filter graph. Member components
// (device filter, video window, ASF writer) join it through IMemberFilter;
// the graph puts their filters in the platform graph when it becomes active
// and takes them out when it becomes inactive. Listeners receive the graph's
// events, pumped onto the user-interface thread.

#include "media/MediaUtil.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

class QObject;
class TFilterGraph;

enum TGraphMode { gmNormal = 0, gmCapture = 1, gmDVD = 2 };

enum TMemberNotice { mnAdding = 0, mnAdded = 1, mnRemoving = 2, mnRemoved = 3 };

enum TControlEventKind { cePlay = 0, cePause = 1, ceStop = 2, ceActive = 7 };

// What a member component offers the graph. The graph calls NotifyFilter
// with mnAdding (create your filter object now), mnAdded (it is in the
// graph: configure it), mnRemoving (stop and disconnect it), mnRemoved
// (release it).
struct IMemberFilter {
    virtual ComPtr<IBaseFilter> GetBaseFilter() = 0;
    virtual std::string GetFilterName() = 0;
    virtual void NotifyFilter(TMemberNotice notice, int32_t param = 0) = 0;

protected:
    ~IMemberFilter() = default;
};

// What a listener component receives: every graph event, and the control
// events cePlay / ceStop (before Run / Stop) and ceActive (1 after
// activation, 0 before deactivation).
struct IGraphListener {
    virtual void GraphEvent(long event, LONG_PTR param1, LONG_PTR param2) = 0;
    virtual void ControlEvent(TControlEventKind event, int32_t param = 0) = 0;

protected:
    ~IGraphListener() = default;
};

// A component whose FilterGraph property points at a graph registers here,
// so that the graph, when it is destroyed first, clears that reference
// without being called back.
struct IGraphFreeNotify {
    virtual void FilterGraphFreed(TFilterGraph* graph) = 0;

protected:
    ~IGraphFreeNotify() = default;
};

// The layer's own identifier: as service and interface id, QueryService on
// the graph's site yields the owning TFilterGraph (through this interface).
inline constexpr GUID ComponentServiceId = MakeGuid("{C7CAA944-C191-4AB1-ABA7-D8B40EF4D5B2}");
struct IFilterGraphComponent : IUnknown {
    static constexpr IID iid = ComponentServiceId;
    virtual TFilterGraph* Component() = 0;
};

inline constexpr long WM_GRAPHNOTIFY = 0x8000 + 1; // WM_APP + 1

// round(ln(v + 1) * 1085.73) - 10000: 10000 gives 0, 0 gives -10000.
int32_t LinearToVolume(int32_t value);

class TFilterGraph {
public:
    TFilterGraph();
    virtual ~TFilterGraph();
    TFilterGraph(const TFilterGraph&) = delete;
    TFilterGraph& operator=(const TFilterGraph&) = delete;

    const std::string& Name() const { return m_name; }
    void SetName(std::string name) { m_name = std::move(name); }

    // ---- published properties ----
    bool Active() const { return m_active; }
    void SetActive(bool value);
    bool AutoCreate() const { return m_autoCreate; }
    void SetAutoCreate(bool value) { m_autoCreate = value; }
    TGraphMode Mode() const { return m_mode; }
    void SetMode(TGraphMode value);
    bool GraphEdit() const { return m_graphEdit; }
    void SetGraphEdit(bool value);
    const std::string& LogFile() const { return m_logFile; }
    void SetLogFile(const std::string& value);
    bool LinearVolume() const { return m_linearVolume; }
    void SetLinearVolume(bool value);
    int32_t Volume() const { return m_volume; }
    void SetVolume(int32_t value);
    int32_t Balance() const { return m_balance; }
    void SetBalance(int32_t value);

    // Called once the owning form has loaded: activates when AutoCreate is set.
    void Loaded();

    // ---- operations ----
    bool Play();
    bool Stop();
    void ClearGraph();
    void DisconnectFilters();
    void AddMember(IMemberFilter* member);
    void RemoveMember(IMemberFilter* member);
    void AddListener(IGraphListener* listener);
    void RemoveListener(IGraphListener* listener);
    void FreeNotification(IGraphFreeNotify* client);
    void RemoveFreeNotification(IGraphFreeNotify* client);

    // The component's own interfaces (the builder callbacks and
    // IServiceProvider), then, while active, the capture builder (in
    // gmCapture) and the graph. One reference for the caller.
    HRESULT QueryInterface(REFIID riid, void** ppv);

    // The hidden window that receives WM_GRAPHNOTIFY.
    QObject* NotificationWindow() const;
    // Drains the event queue (what WM_GRAPHNOTIFY runs).
    void PumpEvents();

    int MemberCount() const { return m_members ? static_cast<int>(m_members->size()) : 0; }
    int ListenerCount() const { return m_listeners ? static_cast<int>(m_listeners->size()) : 0; }
    // The running object table cookie (0 = not registered).
    DWORD RotCookie() const { return m_rotCookie; }

    // ---- events ----
    using TNotifyEvent = std::function<void(TFilterGraph* sender)>;
    TNotifyEvent OnActivate;
    std::function<void(TFilterGraph* sender, long code, LONG_PTR param1, LONG_PTR param2)> OnDSEvent;
    std::function<void(TFilterGraph* sender, HRESULT Result, IBaseFilter* Renderer)> OnGraphComplete;
    TNotifyEvent OnGraphUserAbort;
    std::function<void(TFilterGraph* sender, HRESULT Result)> OnGraphErrorAbort;
    std::function<void(TFilterGraph* sender, HRESULT Operation, int32_t Value)> OnGraphStreamErrorStopped;
    std::function<void(TFilterGraph* sender, HRESULT Operation, int32_t Value)> OnGraphStreamErrorStillPlaying;
    std::function<void(TFilterGraph* sender, HRESULT Result)> OnGraphErrorStillPlaying;
    TNotifyEvent OnGraphPaletteChanged;
    std::function<void(TFilterGraph* sender, int Width, int Height)> OnGraphVideoSizeChanged;
    TNotifyEvent OnGraphQualityChange;
    TNotifyEvent OnGraphClockChanged;
    std::function<void(TFilterGraph* sender, HRESULT Result)> OnGraphPaused;
    std::function<void(TFilterGraph* sender, bool opening)> OnGraphOpeningFile;
    std::function<void(TFilterGraph* sender, bool Buffering)> OnGraphBufferingData;
    std::function<void(TFilterGraph* sender, IBaseFilter* Renderer)> OnGraphFullscreenLost;
    std::function<void(TFilterGraph* sender, const std::string& String1, const std::string& String2)> OnGraphOleEvent;
    std::function<void(TFilterGraph* sender, IPin* PinSender, int32_t Cookie)> OnGraphStreamControlStopped;
    std::function<void(TFilterGraph* sender, IPin* PinSender, int32_t Cookie)> OnGraphStreamControlStarted;
    std::function<void(TFilterGraph* sender, REFERENCE_TIME StreamTime, int32_t NumSegment)> OnGraphEndOfSegment;
    std::function<void(TFilterGraph* sender, IUnknown* Device, bool Removed)> OnGraphDeviceLost;
    TNotifyEvent OnGraphStepComplete;
    std::function<void(TFilterGraph* sender, IBaseFilter* From, int32_t DeviceID)> OnGraphTimeCodeAvailable;
    std::function<void(TFilterGraph* sender, int32_t NewMode, int32_t DeviceID)> OnGraphEXTDeviceModeChange;
    TNotifyEvent OnGraphChanged;
    TNotifyEvent OnGraphClockUnset;
    std::function<void(TFilterGraph* sender, int32_t RenderDevice)> OnGraphVMRRenderDevice;
    std::function<void(TFilterGraph* sender, int32_t OccurWhen, int32_t ErrorCode)> OnGraphSNDDevInError;
    std::function<void(TFilterGraph* sender, int32_t OccurWhen, int32_t ErrorCode)> OnGraphSNDDevOutError;

    // DVD events (gmDVD only).
    TNotifyEvent OnDVDDomainFirstPlay, OnDVDDomainVideoManagerMenu, OnDVDDomainVideoTitleSetMenu, OnDVDDomainTitle, OnDVDDomainStop;
    std::function<void(TFilterGraph* sender, int32_t Title)> OnDVDTitleChange;
    std::function<void(TFilterGraph* sender, int32_t Chapter)> OnDVDChapterStart;
    std::function<void(TFilterGraph* sender, int32_t Stream, const std::string& Language, LCID Lcid)> OnDVDAudioStreamChange;
    std::function<void(TFilterGraph* sender, int32_t Stream, const std::string& Language, LCID Lcid)> OnDVDSubpictureStreamChange;
    std::function<void(TFilterGraph* sender, int32_t Total, int32_t Current)> OnDVDAngleChange, OnDVDButtonChange;
    std::function<void(TFilterGraph* sender, int32_t UOPS)> OnDVDValidUOPSChange;
    std::function<void(TFilterGraph* sender, bool NoButtonAvailable, int32_t Seconds)> OnDVDStillOn;
    TNotifyEvent OnDVDStillOff;
    using TDVDTimeEvent = std::function<void(TFilterGraph* sender, int Hours, int Minutes, int Seconds, int Frames, int FrameRate)>;
    TDVDTimeEvent OnDVDCurrentTime;
    TNotifyEvent OnDVDErrorUnexpected, OnDVDErrorCopyProtectFail, OnDVDErrorInvalidDVD1_0Disc, OnDVDErrorInvalidDiscRegion,
        OnDVDErrorLowParentalLevel, OnDVDErrorMacrovisionFail, OnDVDErrorIncompatibleSystemAndDecoderRegions,
        OnDVDErrorIncompatibleDiscAndDecoderRegions;
    TNotifyEvent OnDVDWarningInvalidDVD1_0Disc, OnDVDWarningFormatNotSupported, OnDVDWarningIllegalNavCommand,
        OnDVDWarningOpen, OnDVDWarningSeek, OnDVDWarningRead;
    TNotifyEvent OnDVDChapterAutoStop, OnDVDNoFP_PGC;
    std::function<void(TFilterGraph* sender, double Rate)> OnDVDPlaybackRateChange;
    std::function<void(TFilterGraph* sender, int32_t Level)> OnDVDParentalLevelChange;
    TNotifyEvent OnDVDPlaybackStopped;
    std::function<void(TFilterGraph* sender, bool Available)> OnDVDAnglesAvailable;
    TNotifyEvent OnDVDPlayPeriodAutoStop;
    std::function<void(TFilterGraph* sender, int32_t Button)> OnDVDButtonAutoActivated;
    std::function<void(TFilterGraph* sender, int32_t CmdID)> OnDVDCMDStart, OnDVDCMDEnd;
    TNotifyEvent OnDVDDiscEjected, OnDVDDiscInserted;
    std::function<void(TFilterGraph* sender, int32_t TimeCode, int Hours, int Minutes, int Seconds, int Frames, int FrameRate)> OnDVDCurrentHMSFTime;
    std::function<void(TFilterGraph* sender, bool Played)> OnDVDKaraokeMode;

    // Graph-builder callbacks (no sender): return false to refuse.
    std::function<bool(IMoniker* Moniker, const std::string& FilterName, const GUID& ClassID)> OnSelectedFilter;
    std::function<bool(IBaseFilter* Filter, const GUID& ClassID)> OnCreatedFilter;
    std::function<bool(IPin* Pin)> OnUnableToRender;

    // The three callbacks as the platform graph calls them.
    HRESULT SelectedFilter(IMoniker* moniker);
    HRESULT CreatedFilter(IBaseFilter* filter);
    HRESULT UnableToRender(IPin* pin);

protected:
    virtual void HandleGraphEvent(long code, LONG_PTR param1, LONG_PTR param2);

private:
    class CallbackObject;
    class NotifyWindow;

    void InsertMember(IMemberFilter* member);
    void RemoveMemberFilter(IMemberFilter* member);
    void SendControlEvent(TControlEventKind event, int32_t param);
    void ApplyVolume();
    void ApplyBalance();
    void HandleDVDEvent(long code, LONG_PTR param1, LONG_PTR param2);

    std::string m_name;
    bool m_active = false;
    bool m_autoCreate = false;
    TGraphMode m_mode = gmNormal;
    bool m_graphEdit = false;
    std::string m_logFile;
    bool m_linearVolume = true;
    int32_t m_volume = 10000;
    int32_t m_balance = 0;

    std::unique_ptr<NotifyWindow> m_window;
    CallbackObject* m_callbacks = nullptr; // counted; its link to us is cut in the destructor
    ComPtr<IFilterGraph2> m_graph;
    ComPtr<ICaptureGraphBuilder2> m_captureBuilder;
    ComPtr<IDvdGraphBuilder> m_dvdBuilder;
    ComPtr<IMediaEventEx> m_events;
    DWORD m_rotCookie = 0;
    int m_logDescriptor = -1;

    std::unique_ptr<std::vector<IMemberFilter*>> m_members;
    std::unique_ptr<std::vector<IGraphListener*>> m_listeners;
    std::vector<IGraphFreeNotify*> m_freeNotify;
};

// Moves a member component from the graph it belongs to (`current`, may be
// null) to `graph` (may be null): membership and free notification both
// follow, and `current` is updated. Nothing happens when the graph is the same.
template <class Component>
void SwitchMemberGraph(Component* member, TFilterGraph*& current, TFilterGraph* graph)
{
    if (graph == current)
        return;
    if (current) {
        current->RemoveMember(member);
        current->RemoveFreeNotification(member);
    }
    if (graph) {
        graph->AddMember(member);
        graph->FreeNotification(member);
    }
    current = graph;
}
