#pragma once
// Base classes for writing filters and pins of our media framework.
//
// How a sink filter is written (for example an encoder with one video input):
//
//   class MyInputPin final : public InputPin {
//   public:
//       explicit MyInputPin(FilterCore& filter) : InputPin(filter, "Video In") {}
//   protected:
//       // Which complete types the pin takes (called while connecting).
//       HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override
//       {
//           return type.majortype == MEDIATYPE_Video && type.subtype == MEDIASUBTYPE_I420 ? S_OK : S_FALSE;
//       }
//       // Optional: types to offer first when the upstream pin asks
//       // (index 0, 1, ...; S_FALSE past the end). Offer complete types
//       // or partial ones (GUID_NULL formattype): the upstream pin only
//       // uses complete ones, and falls back to its own list.
//       HRESULT GetMediaType(int index, AM_MEDIA_TYPE* type) override;
//       // Runs on the upstream filter's streaming thread. Read the sample
//       // (ConnectionType() tells its format), AddRef it to keep it, never
//       // write to it. Do not call back into the graph from here; queue
//       // slow work to a thread of your own so the source is not held up.
//       HRESULT Receive(IMediaSample* sample) override;
//   };
//
//   class MyFilter final : public BaseFilter<IMyConfig> {  // extra interfaces
//   public:
//       MyFilter() : BaseFilter(CLSID_MyFilter) { AddPin(std::make_unique<MyInputPin>(*this)); }
//       ~MyFilter() override { StopStreamingNow(); }       // runs OnStop if still active
//   protected:
//       HRESULT OnPause() override;                 // Stopped -> Paused (prepare; may fail)
//       HRESULT OnRun(REFERENCE_TIME start) override; // -> Running (start your thread)
//       void OnStop() override;                     // -> Stopped (stop and join it)
//   };
//   // create: ComPtr<IBaseFilter> f = ComPtr<IBaseFilter>::Adopt(NewComObject<MyFilter>());
//
// Pins are owned by their filter and share its reference count (AddRef on a
// pin keeps the filter alive). Connections are made only while the filter
// is stopped; Disconnect works in any state. State changes and connections happen on the
// user-interface thread; Receive on the upstream streaming thread. Graph
// events are sent with FilterCore::NotifyEvent from any thread.

#include "platform/dshow/DShow.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class FilterCore;

// ---- samples ------------------------------------------------------------------------

// A heap buffer sample. Sources create one per frame with Create(), fill it,
// set times and deliver it.
class MediaSample final : public ComObject<IMediaSample> {
public:
    static ComPtr<MediaSample> Create(size_t size);

    BYTE* Data() { return m_data.get(); }
    const BYTE* Data() const { return m_data.get(); }

    HRESULT GetPointer(BYTE** buffer) override;
    long GetSize() override { return static_cast<long>(m_size); }
    HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) override;
    HRESULT SetTime(const REFERENCE_TIME* start, const REFERENCE_TIME* end) override;
    HRESULT IsSyncPoint() override { return m_sync ? S_OK : S_FALSE; }
    HRESULT SetSyncPoint(BOOL sync) override { m_sync = sync != 0; return S_OK; }
    HRESULT IsDiscontinuity() override { return m_discontinuity ? S_OK : S_FALSE; }
    HRESULT SetDiscontinuity(BOOL d) override { m_discontinuity = d != 0; return S_OK; }
    long GetActualDataLength() override { return m_length; }
    HRESULT SetActualDataLength(long length) override;
    HRESULT GetMediaType(AM_MEDIA_TYPE* type) override;
    void SetMediaType(const AM_MEDIA_TYPE& type) { m_type = type; m_hasType = true; }

    // Reference time (ReferenceTimeNow) when the frame was captured; kept by
    // converters so renderers can measure the delay to the screen.
    REFERENCE_TIME captureTime = 0;

    // Use Create().
    // The buffer is not cleared: whoever creates a sample fills it.
    explicit MediaSample(size_t size) : m_data(new BYTE[size]), m_size(size), m_length(static_cast<long>(size)) {}

private:
    std::unique_ptr<BYTE[]> m_data;
    size_t m_size = 0;
    long m_length = 0;
    REFERENCE_TIME m_start = 0, m_end = 0;
    bool m_hasTime = false, m_sync = true, m_discontinuity = false, m_hasType = false;
    AM_MEDIA_TYPE m_type;
};

// ---- pins ------------------------------------------------------------------------------

class PinBase : public IPin, public IKsPropertySet {
public:
    PinBase(FilterCore& filter, std::string name, PIN_DIRECTION dir, const GUID& category = GUID_NULL);
    virtual ~PinBase();
    PinBase(const PinBase&) = delete;
    PinBase& operator=(const PinBase&) = delete;

    // IUnknown: the count is the filter's.
    HRESULT QueryInterface(REFIID riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    // IPin (Connect and ReceiveConnection are the direction's own)
    HRESULT Disconnect() override;
    HRESULT ConnectedTo(IPin** pin) override;
    HRESULT ConnectionMediaType(AM_MEDIA_TYPE* type) override;
    HRESULT QueryPinInfo(PIN_INFO* info) override;
    HRESULT QueryDirection(PIN_DIRECTION* dir) override;
    HRESULT QueryId(std::string* id) override;
    HRESULT QueryAccept(const AM_MEDIA_TYPE* type) override;
    HRESULT EnumMediaTypes(IEnumMediaTypes** types) override;
    HRESULT EndOfStream() override { return S_OK; }

    // IKsPropertySet: the pin category (AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY).
    HRESULT Get(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data, DWORD dataLength, DWORD* returned) override;
    HRESULT Set(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data, DWORD dataLength) override;
    HRESULT QuerySupported(REFGUID set, DWORD id, DWORD* support) override;

    const std::string& Name() const { return m_name; }
    PIN_DIRECTION Direction() const { return m_dir; }
    const GUID& Category() const { return m_category; }
    bool IsConnected() const;
    ComPtr<IPin> Peer() const;
    // The agreed type (meaningful while connected).
    AM_MEDIA_TYPE ConnectionType() const;
    FilterCore& Filter() const { return m_filter; }

    // Which complete types this pin takes: S_OK or S_FALSE (or a failure).
    virtual HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) = 0;
    // Preferred types, index 0, 1, ...: S_OK, or S_FALSE past the end.
    virtual HRESULT GetMediaType(int index, AM_MEDIA_TYPE* type);

protected:
    // After both sides agreed (the peer has accepted); a failure undoes it.
    virtual HRESULT CompleteConnect(IPin* peer);
    // After the connection was dropped.
    virtual void BreakConnect() {}
    // More interfaces of the pin (un-AddRef'd pointer or nullptr).
    virtual void* QueryPinInterface(REFIID) { return nullptr; }

    void SetConnection(IPin* peer, const AM_MEDIA_TYPE& type);
    void ClearConnection();

    FilterCore& m_filter;
    mutable std::mutex m_lock;

private:
    std::string m_name;
    PIN_DIRECTION m_dir;
    GUID m_category;
    ComPtr<IPin> m_peer;
    AM_MEDIA_TYPE m_type;
};

class InputPin : public PinBase, public IMemInputPin, public IFrameDemand {
public:
    InputPin(FilterCore& filter, std::string name);

    HRESULT QueryInterface(REFIID riid, void** ppv) override { return PinBase::QueryInterface(riid, ppv); }
    ULONG AddRef() override { return PinBase::AddRef(); }
    ULONG Release() override { return PinBase::Release(); }

    HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
    HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) override;
    HRESULT ReceiveCanBlock() override { return S_FALSE; }
    // Every frame is wanted unless the pin says otherwise.
    HRESULT WantsFrame(REFERENCE_TIME) override { return S_OK; }

    // S_OK while the filter is paused or running; VFW_E_WRONG_STATE when stopped.
    HRESULT CheckStreaming() const;

protected:
    void* QueryPinInterface(REFIID riid) override;
};

class OutputPin : public PinBase {
public:
    OutputPin(FilterCore& filter, std::string name, const GUID& category = GUID_NULL);

    HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) override;
    HRESULT ReceiveConnection(IPin*, const AM_MEDIA_TYPE*) override { return E_UNEXPECTED; }

    // Streaming thread: hands a sample to the connected input pin.
    // VFW_E_NOT_CONNECTED when unconnected.
    HRESULT Deliver(IMediaSample* sample);
    HRESULT DeliverEndOfStream();
    // Whether the connected input would use a sample starting at `start`;
    // false when unconnected.
    bool Wanted(REFERENCE_TIME start);

protected:
    HRESULT CompleteConnect(IPin* peer) override;
    void BreakConnect() override;

private:
    HRESULT TryConnect(IPin* receivePin, const AM_MEDIA_TYPE& type);

    ComPtr<IMemInputPin> m_input;
    ComPtr<IFrameDemand> m_demand;
};

// ---- filters --------------------------------------------------------------------------

// The state and pins of a filter, without the COM face (see BaseFilter).
class FilterCore {
public:
    explicit FilterCore(const CLSID& clsid);
    virtual ~FilterCore();
    FilterCore(const FilterCore&) = delete;
    FilterCore& operator=(const FilterCore&) = delete;

    // The filter's COM face (for pins and PIN_INFO).
    virtual IBaseFilter* Self() = 0;

    FILTER_STATE State() const { return m_state.load(); }
    // Reference time of stream time zero while running.
    REFERENCE_TIME StartTime() const { return m_start.load(); }
    const CLSID& ClassId() const { return m_clsid; }
    std::string FilterName() const;

    int PinCount() const { return static_cast<int>(m_pins.size()); }
    PinBase* Pin(int index) const { return m_pins.at(static_cast<size_t>(index)).get(); }

    // Queues a graph event (any thread); nothing when not in a graph.
    void NotifyEvent(long code, LONG_PTR param1, LONG_PTR param2);

protected:
    PinBase* AddPin(std::unique_ptr<PinBase> pin);
    // Removes pins from `first` on; only while unconnected and stopped.
    void RemovePinsFrom(int first);

    // State hooks, on the user-interface thread.
    virtual HRESULT OnPause() { return S_OK; }                  // leaving Stopped
    virtual HRESULT OnRun(REFERENCE_TIME /*start*/) { return S_OK; } // entering Running
    virtual void OnStopRunning() {}                              // leaving Running
    virtual void OnStop() {}                                     // entering Stopped
    // Derived destructors call this so their hooks run while they still exist.
    void StopStreamingNow();

    // The IBaseFilter behaviour, forwarded by BaseFilter.
    HRESULT CoreStop();
    HRESULT CorePause();
    HRESULT CoreRun(REFERENCE_TIME start);
    HRESULT CoreGetState(FILTER_STATE* state);
    HRESULT CoreEnumPins(IEnumPins** pins);
    HRESULT CoreFindPin(const char* id, IPin** pin);
    HRESULT CoreQueryFilterInfo(FILTER_INFO* info);
    HRESULT CoreJoinFilterGraph(IFilterGraph* graph, const char* name);

private:
    CLSID m_clsid;
    std::atomic<FILTER_STATE> m_state{State_Stopped};
    std::atomic<REFERENCE_TIME> m_start{0};
    std::vector<std::unique_ptr<PinBase>> m_pins;
    mutable std::mutex m_graphLock;
    IFilterGraph* m_graph = nullptr; // not counted: the graph owns us
    IMediaEventSink* m_eventSink = nullptr;
    std::string m_name;
};

// A filter: IBaseFilter plus the interfaces in Extra..., with FilterCore's
// behaviour. Override QueryInterfaceExtra to answer more interfaces.
template <class... Extra>
class BaseFilter : public ComObject<IBaseFilter, Extra...>, public FilterCore {
public:
    IBaseFilter* Self() override { return this; }

    HRESULT GetClassID(CLSID* clsid) override
    {
        if (!clsid) return E_POINTER;
        *clsid = ClassId();
        return S_OK;
    }
    HRESULT Stop() override { return CoreStop(); }
    HRESULT Pause() override { return CorePause(); }
    HRESULT Run(REFERENCE_TIME start) override { return CoreRun(start); }
    HRESULT GetState(DWORD, FILTER_STATE* state) override { return CoreGetState(state); }
    HRESULT EnumPins(IEnumPins** pins) override { return CoreEnumPins(pins); }
    HRESULT FindPin(const char* id, IPin** pin) override { return CoreFindPin(id, pin); }
    HRESULT QueryFilterInfo(FILTER_INFO* info) override { return CoreQueryFilterInfo(info); }
    HRESULT JoinFilterGraph(IFilterGraph* graph, const char* name) override { return CoreJoinFilterGraph(graph, name); }

protected:
    explicit BaseFilter(const CLSID& clsid) : FilterCore(clsid) {}
};

// ---- enumerators (snapshots) -----------------------------------------------------

HRESULT CreatePinEnumerator(std::vector<ComPtr<IPin>> pins, IEnumPins** out);
HRESULT CreateMediaTypeEnumerator(std::vector<AM_MEDIA_TYPE> types, IEnumMediaTypes** out);
HRESULT CreateFilterEnumerator(std::vector<ComPtr<IBaseFilter>> filters, IEnumFilters** out);

// ---- helpers for graph code ------------------------------------------------------------

// True for a type with major type, subtype and format all set.
bool IsCompleteType(const AM_MEDIA_TYPE& type);
// True when `type` fits the partial `pattern` (GUID_NULL fields match anything).
bool TypeMatches(const AM_MEDIA_TYPE& type, const AM_MEDIA_TYPE& pattern);
// Every pin of a filter, in order.
std::vector<ComPtr<IPin>> FilterPins(IBaseFilter* filter);
PIN_DIRECTION PinDirection(IPin* pin);
// The pin's category (GUID_NULL when it has none).
GUID PinCategory(IPin* pin);
ComPtr<IBaseFilter> PinFilter(IPin* pin);
