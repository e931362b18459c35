#pragma once
// Our small media framework: filters with pins, media types, samples pushed
// from source threads, the filter graph manager and the capture graph
// builder. The names, ids and calling conventions follow the published
// DirectShow interfaces so the media layer reads as it would there; only
// what the program and its filters use is declared.
//
// Threads. Every method is called on the user-interface thread unless its
// comment says otherwise. Each running source filter owns one streaming
// thread; IMemInputPin::Receive, EndOfStream and IMediaEventSink::Notify
// are called on that thread. Filters are written with the base classes in
// platform/dshow/BaseClasses.h (read its header comment for how to write a
// sink filter).
//
// Strings are UTF-8. Window handles (OAHWND) are QWidget pointers (for
// IVideoWindow owners and message drains) or QObject pointers (for the
// notify window of IMediaEventEx) carried as integers, as on the platform.

#include "platform/com/Objects.h"

#include <cstdint>
#include <string>
#include <vector>

using REFERENCE_TIME = int64_t; // 100-nanosecond units
using LONG_PTR = intptr_t;
using OAHWND = intptr_t;
using OAEVENT = intptr_t;
using BYTE = uint8_t;
using LCID = uint32_t;
#ifndef TRUE
inline constexpr BOOL TRUE = 1;
inline constexpr BOOL FALSE = 0;
#endif

// ---- result codes -------------------------------------------------------------

inline constexpr HRESULT VFW_E_INVALIDMEDIATYPE = MakeHResult(0x80040200);
inline constexpr HRESULT VFW_E_ALREADY_CONNECTED = MakeHResult(0x80040204);
inline constexpr HRESULT VFW_E_NO_ACCEPTABLE_TYPES = MakeHResult(0x80040207);
inline constexpr HRESULT VFW_E_INVALID_DIRECTION = MakeHResult(0x80040208);
inline constexpr HRESULT VFW_E_NOT_CONNECTED = MakeHResult(0x80040209);
inline constexpr HRESULT VFW_E_RUNTIME_ERROR = MakeHResult(0x8004020B);
inline constexpr HRESULT VFW_E_NOT_FOUND = MakeHResult(0x80040216);
inline constexpr HRESULT VFW_E_CANNOT_CONNECT = MakeHResult(0x80040217);
inline constexpr HRESULT VFW_E_CANNOT_RENDER = MakeHResult(0x80040218);
inline constexpr HRESULT VFW_E_NOT_STOPPED = MakeHResult(0x80040224);
inline constexpr HRESULT VFW_E_WRONG_STATE = MakeHResult(0x80040227);
inline constexpr HRESULT VFW_E_TYPE_NOT_ACCEPTED = MakeHResult(0x8004022A);
inline constexpr HRESULT VFW_E_NOT_IN_GRAPH = MakeHResult(0x8004025F);
inline constexpr HRESULT VFW_E_NO_CAPTURE_HARDWARE = MakeHResult(0x80040273);
inline constexpr HRESULT VFW_S_DUPLICATE_NAME = MakeHResult(0x0004022D);
inline constexpr HRESULT VFW_S_NOPREVIEWPIN = MakeHResult(0x0004027E);
inline constexpr HRESULT E_PROP_SET_UNSUPPORTED = MakeHResult(0x80070492);
inline constexpr HRESULT E_PROP_ID_UNSUPPORTED = MakeHResult(0x80070490);
// Device failures, as HRESULT_FROM_WIN32 of the matching system error.
inline constexpr HRESULT HRESULT_FILE_NOT_FOUND = MakeHResult(0x80070002);
inline constexpr HRESULT HRESULT_DEVICE_BUSY = MakeHResult(0x800700AA);
inline constexpr HRESULT HRESULT_DEVICE_FAILURE = MakeHResult(0x8007001F);
inline constexpr HRESULT HRESULT_NOT_SUPPORTED = MakeHResult(0x80070032);
inline constexpr HRESULT HRESULT_DEVICE_NOT_CONNECTED = MakeHResult(0x8007048F);

// A readable text for a result code (at most maxLength - 1 characters and a
// terminating zero). Returns the number of characters written; 0 for an
// unknown code (buffer then holds an empty string).
DWORD AMGetErrorTextA(HRESULT code, char* buffer, DWORD maxLength);

// ---- media types ------------------------------------------------------------------

inline constexpr GUID MEDIATYPE_Video = MakeGuid("{73646976-0000-0010-8000-00AA00389B71}");
inline constexpr GUID MEDIATYPE_Audio = MakeGuid("{73647561-0000-0010-8000-00AA00389B71}");
inline constexpr GUID MEDIATYPE_Interleaved = MakeGuid("{73766169-0000-0010-8000-00AA00389B71}");
// Video subtypes and their sample layouts (all top-down, no row padding):
//   RGB32: width*4 bytes a row, bytes B,G,R,X (a QImage::Format_RGB32 on little-endian)
//   YUY2:  width*2 bytes a row, Y0 U Y1 V
//   I420:  Y plane width*height, then U and V planes (width/2)*(height/2) each
//   MJPG:  one JPEG image, variable length (lSampleSize 0)
inline constexpr GUID MEDIASUBTYPE_RGB32 = MakeGuid("{E436EB7E-524F-11CE-9F53-0020AF0BA770}");
inline constexpr GUID MEDIASUBTYPE_YUY2 = MakeGuid("{32595559-0000-0010-8000-00AA00389B71}");
inline constexpr GUID MEDIASUBTYPE_I420 = MakeGuid("{30323449-0000-0010-8000-00AA00389B71}");
inline constexpr GUID MEDIASUBTYPE_MJPG = MakeGuid("{47504A4D-0000-0010-8000-00AA00389B71}");
inline constexpr GUID MEDIASUBTYPE_PCM = MakeGuid("{00000001-0000-0010-8000-00AA00389B71}");
inline constexpr GUID FORMAT_VideoInfo = MakeGuid("{05589F80-C356-11CE-BF01-00AA0055595A}");
inline constexpr GUID FORMAT_WaveFormatEx = MakeGuid("{05589F81-C356-11CE-BF01-00AA0055595A}");

struct RECT {
    int32_t left = 0, top = 0, right = 0, bottom = 0;
};

// The video format block (VIDEOINFOHEADER with the bitmap header folded in).
struct VIDEOINFOHEADER {
    RECT rcSource;
    RECT rcTarget;
    uint32_t dwBitRate = 0;
    REFERENCE_TIME AvgTimePerFrame = 0; // 333333 for 30 frames a second
    int32_t biWidth = 0;
    int32_t biHeight = 0;               // positive; rows are top-down (see above)
    uint32_t biCompression = 0;         // the subtype's FOURCC (0 for RGB32)
    uint16_t biBitCount = 0;
    uint32_t biSizeImage = 0;
};

struct WAVEFORMATEX {
    uint16_t wFormatTag = 1; // PCM
    uint16_t nChannels = 0;
    uint32_t nSamplesPerSec = 0;
    uint32_t nAvgBytesPerSec = 0;
    uint16_t nBlockAlign = 0;
    uint16_t wBitsPerSample = 0;
};

// A media type is a plain value: copy it freely. `video` is meaningful when
// formattype is FORMAT_VideoInfo, `audio` when FORMAT_WaveFormatEx. A type
// with GUID_NULL in subtype or formattype is partial (a wildcard) and is
// only used to ask; connections always agree on a complete type.
struct AM_MEDIA_TYPE {
    GUID majortype = GUID_NULL;
    GUID subtype = GUID_NULL;
    BOOL bFixedSizeSamples = 1;
    BOOL bTemporalCompression = 0;
    uint32_t lSampleSize = 0;
    GUID formattype = GUID_NULL;
    VIDEOINFOHEADER video;
    WAVEFORMATEX audio;
};

// A complete video type: subtype, size and frame rate (frames a second).
AM_MEDIA_TYPE MakeVideoType(const GUID& subtype, int width, int height, double framesPerSecond);
// Bytes in one frame of an uncompressed video type (0 for compressed or unknown).
uint32_t VideoFrameBytes(const GUID& subtype, int width, int height);
// "RGB32", "YUY2", "I420", "MJPG" or the GUID text.
std::string SubtypeName(const GUID& subtype);
// "YUY2 640x480 30fps" for logs and tests.
std::string DescribeMediaType(const AM_MEDIA_TYPE& type);

// ---- samples ----------------------------------------------------------------------

// One buffer of media data. A sample is immutable once delivered: a filter
// that receives one may keep a reference (AddRef) and read it later, from
// any thread, but never writes to it.
struct IMediaSample : IUnknown {
    static constexpr IID iid = MakeGuid("{56A8689A-0AD4-11CE-B03A-0020AF0BA770}");
    virtual HRESULT GetPointer(BYTE** buffer) = 0;
    virtual long GetSize() = 0;
    // Stream time (from the graph's Run) of the first and the next frame.
    virtual HRESULT GetTime(REFERENCE_TIME* start, REFERENCE_TIME* end) = 0;
    virtual HRESULT SetTime(const REFERENCE_TIME* start, const REFERENCE_TIME* end) = 0;
    virtual HRESULT IsSyncPoint() = 0;       // S_OK for a key frame
    virtual HRESULT SetSyncPoint(BOOL sync) = 0;
    virtual HRESULT IsDiscontinuity() = 0;   // S_OK for the first sample after a gap
    virtual HRESULT SetDiscontinuity(BOOL discontinuity) = 0;
    virtual long GetActualDataLength() = 0;
    virtual HRESULT SetActualDataLength(long length) = 0;
    // S_OK and a copy of the type when it differs from the connection's;
    // S_FALSE when unchanged.
    virtual HRESULT GetMediaType(AM_MEDIA_TYPE* type) = 0;
};

// ---- pins and filters ------------------------------------------------------------

enum PIN_DIRECTION : int32_t { PINDIR_INPUT = 0, PINDIR_OUTPUT = 1 };
enum FILTER_STATE : int32_t { State_Stopped = 0, State_Paused = 1, State_Running = 2 };

struct IBaseFilter;
struct IFilterGraph;

struct PIN_INFO {
    ComPtr<IBaseFilter> pFilter; // the owning filter (holds a reference)
    PIN_DIRECTION dir = PINDIR_INPUT;
    std::string achName;
};

struct FILTER_INFO {
    std::string achName;
    ComPtr<IFilterGraph> pGraph; // nil while not in a graph
};

struct IEnumMediaTypes : IUnknown {
    static constexpr IID iid = MakeGuid("{89C31040-846B-11CE-97D3-00AA0055595A}");
    // Copies up to `count` types; S_OK when all came, S_FALSE when fewer.
    virtual HRESULT Next(ULONG count, AM_MEDIA_TYPE* types, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
};

struct IPin : IUnknown {
    static constexpr IID iid = MakeGuid("{56A86891-0AD4-11CE-B03A-0020AF0BA770}");
    // On an output pin: connect to `receivePin`, with `type` (may be partial
    // or null) restricting the candidates.
    virtual HRESULT Connect(IPin* receivePin, const AM_MEDIA_TYPE* type) = 0;
    // On an input pin: accept a connection from `connector` with a complete type.
    virtual HRESULT ReceiveConnection(IPin* connector, const AM_MEDIA_TYPE* type) = 0;
    // Drops this side of the connection (the graph disconnects both sides).
    virtual HRESULT Disconnect() = 0;
    // S_OK and the peer pin, or VFW_E_NOT_CONNECTED and nil.
    virtual HRESULT ConnectedTo(IPin** pin) = 0;
    virtual HRESULT ConnectionMediaType(AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT QueryPinInfo(PIN_INFO* info) = 0;
    virtual HRESULT QueryDirection(PIN_DIRECTION* dir) = 0;
    virtual HRESULT QueryId(std::string* id) = 0;
    // S_OK when the pin would accept the (complete) type, S_FALSE otherwise.
    virtual HRESULT QueryAccept(const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT EnumMediaTypes(IEnumMediaTypes** types) = 0;
    virtual HRESULT EndOfStream() = 0;
};

// Sample delivery into an input pin (the push model).
struct IMemInputPin : IUnknown {
    static constexpr IID iid = MakeGuid("{56A8689D-0AD4-11CE-B03A-0020AF0BA770}");
    // Called on the upstream streaming thread. S_OK to go on; S_FALSE asks
    // the upstream filter to stop sending; a failure stops the stream and
    // is reported as an error event.
    virtual HRESULT Receive(IMediaSample* sample) = 0;
    // S_FALSE when Receive may block (the sender then never holds locks
    // over the call); S_OK when it never blocks.
    virtual HRESULT ReceiveCanBlock() = 0;
};

// Asked by an upstream filter before it makes a frame (draws, decodes or
// converts it): whether a sample starting at `start` (stream time) would be
// used. S_OK yes, S_FALSE no (a renderer no one can see, a writer whose frame
// slot is already filled). An answer of S_FALSE is a hint: a sample sent
// anyway is still handled.
struct IFrameDemand : IUnknown {
    static constexpr IID iid = MakeGuid("{3E7A0C91-5B2D-4F6E-8C13-9A4D2B7E6F05}");
    virtual HRESULT WantsFrame(REFERENCE_TIME start) = 0;
};

struct IEnumPins : IUnknown {
    static constexpr IID iid = MakeGuid("{56A86892-0AD4-11CE-B03A-0020AF0BA770}");
    virtual HRESULT Next(ULONG count, IPin** pins, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
};

struct IMediaFilter : IPersist {
    using Base = IPersist;
    static constexpr IID iid = MakeGuid("{56A86899-0AD4-11CE-B03A-0020AF0BA770}");
    virtual HRESULT Stop() = 0;
    virtual HRESULT Pause() = 0;
    // start = the reference time (ReferenceTimeNow()) of stream time zero.
    virtual HRESULT Run(REFERENCE_TIME start) = 0;
    virtual HRESULT GetState(DWORD msTimeout, FILTER_STATE* state) = 0;
};

struct IBaseFilter : IMediaFilter {
    using Base = IMediaFilter;
    static constexpr IID iid = MakeGuid("{56A86895-0AD4-11CE-B03A-0020AF0BA770}");
    virtual HRESULT EnumPins(IEnumPins** pins) = 0;
    virtual HRESULT FindPin(const char* id, IPin** pin) = 0;
    virtual HRESULT QueryFilterInfo(FILTER_INFO* info) = 0;
    // The graph tells the filter it joined (graph, name) or left (nullptr).
    // The filter keeps no counted reference to the graph.
    virtual HRESULT JoinFilterGraph(IFilterGraph* graph, const char* name) = 0;
};

// The reference clock: a monotonic time in 100-nanosecond units.
REFERENCE_TIME ReferenceTimeNow();

// ---- the filter graph ------------------------------------------------------------

struct IEnumFilters : IUnknown {
    static constexpr IID iid = MakeGuid("{56A86893-0AD4-11CE-B03A-0020AF0BA770}");
    virtual HRESULT Next(ULONG count, IBaseFilter** filters, ULONG* fetched) = 0;
    virtual HRESULT Skip(ULONG count) = 0;
    virtual HRESULT Reset() = 0;
};

struct IFilterGraph : IUnknown {
    static constexpr IID iid = MakeGuid("{56A8689F-0AD4-11CE-B03A-0020AF0BA770}");
    // name may be null or empty (a name is made up); VFW_S_DUPLICATE_NAME
    // when the name was taken and a number appended.
    virtual HRESULT AddFilter(IBaseFilter* filter, const char* name) = 0;
    // Disconnects the filter's pins and stops it first.
    virtual HRESULT RemoveFilter(IBaseFilter* filter) = 0;
    virtual HRESULT EnumFilters(IEnumFilters** filters) = 0;
    virtual HRESULT FindFilterByName(const char* name, IBaseFilter** filter) = 0;
    // Connects two pins directly (no filters inserted); both must be in the graph.
    virtual HRESULT ConnectDirect(IPin* out, IPin* in, const AM_MEDIA_TYPE* type) = 0;
    // Disconnects one side (call it for both pins, as the platform does).
    virtual HRESULT Disconnect(IPin* pin) = 0;
};

struct IGraphBuilder : IFilterGraph {
    using Base = IFilterGraph;
    static constexpr IID iid = MakeGuid("{56A868A9-0AD4-11CE-B03A-0020AF0BA770}");
    // Connects with converters inserted when the pins agree on no type.
    virtual HRESULT Connect(IPin* out, IPin* in) = 0;
    // Renders an output pin to a video renderer.
    virtual HRESULT Render(IPin* out) = 0;
    // The graph writes a line per operation to this file descriptor; -1 stops.
    // The descriptor stays the caller's.
    virtual HRESULT SetLogFile(intptr_t file) = 0;
};

struct IFilterGraph2 : IGraphBuilder {
    using Base = IGraphBuilder;
    static constexpr IID iid = MakeGuid("{36B73882-C2C8-11CF-8B46-00805F6CEF60}");
    virtual HRESULT AddSourceFilterForMoniker(IMoniker* moniker, IBindCtx* ctx, const char* name, IBaseFilter** filter) = 0;
};

inline constexpr CLSID CLSID_FilterGraph = MakeGuid("{E436EBB3-524F-11CE-9F53-0020AF0BA770}");

using OAFilterState = int32_t;

struct IMediaControl : IUnknown {
    static constexpr IID iid = MakeGuid("{56A868B1-0AD4-11CE-B03A-0020AF0BA770}");
    // Run fails (and leaves the graph stopped) when a filter cannot run.
    virtual HRESULT Run() = 0;
    virtual HRESULT Pause() = 0;
    virtual HRESULT Stop() = 0;
    virtual HRESULT GetState(long msTimeout, OAFilterState* state) = 0;
};

// Event codes the framework sends.
inline constexpr long EC_COMPLETE = 1;
inline constexpr long EC_USERABORT = 2;
inline constexpr long EC_ERRORABORT = 3;
inline constexpr long EC_VIDEO_SIZE_CHANGED = 10;
inline constexpr long EC_DEVICE_LOST = 31;
inline constexpr long EC_GRAPH_CHANGED = 80;
inline constexpr long EC_VMR_RENDERDEVICE_SET = 83;

struct IMediaEvent : IUnknown {
    static constexpr IID iid = MakeGuid("{56A868B6-0AD4-11CE-B03A-0020AF0BA770}");
    // S_OK and the next event; E_ABORT when none came within the time-out.
    virtual HRESULT GetEvent(long* code, LONG_PTR* param1, LONG_PTR* param2, long msTimeout) = 0;
    virtual HRESULT FreeEventParams(long code, LONG_PTR param1, LONG_PTR param2) = 0;
};

struct IMediaEventEx : IMediaEvent {
    using Base = IMediaEvent;
    static constexpr IID iid = MakeGuid("{56A868C0-0AD4-11CE-B03A-0020AF0BA770}");
    // window: a QObject*; for every queued event a WindowMessageEvent
    // (platform/dshow/WindowMessage.h) with `message` and lParam = instance
    // is posted to it. 0 stops the notifications.
    virtual HRESULT SetNotifyWindow(OAHWND window, long message, LONG_PTR instance) = 0;
    // 0 = notifications on, 1 (AM_MEDIAEVENT_NONOTIFY) = off.
    virtual HRESULT SetNotifyFlags(long flags) = 0;
    virtual HRESULT GetNotifyFlags(long* flags) = 0;
};

// What a filter calls (on any thread) to queue a graph event. Filters get it
// by querying the IFilterGraph given to JoinFilterGraph.
struct IMediaEventSink : IUnknown {
    static constexpr IID iid = MakeGuid("{56A868A2-0AD4-11CE-B03A-0020AF0BA770}");
    virtual HRESULT Notify(long code, LONG_PTR param1, LONG_PTR param2) = 0;
};

struct IBasicAudio : IUnknown {
    static constexpr IID iid = MakeGuid("{56A868B3-0AD4-11CE-B03A-0020AF0BA770}");
    virtual HRESULT put_Volume(long volume) = 0;  // -10000..0 (hundredths of a decibel)
    virtual HRESULT get_Volume(long* volume) = 0;
    virtual HRESULT put_Balance(long balance) = 0; // -10000..10000
    virtual HRESULT get_Balance(long* balance) = 0;
};

struct IObjectWithSite : IUnknown {
    static constexpr IID iid = MakeGuid("{FC4801A3-2BA9-11CF-A229-00AA003D7352}");
    virtual HRESULT SetSite(IUnknown* site) = 0;
    virtual HRESULT GetSite(REFIID riid, void** ppv) = 0;
};

// Callbacks the graph calls on its site while it builds connections.
struct IAMGraphBuilderCallback : IUnknown {
    static constexpr IID iid = MakeGuid("{4995F511-9DDB-4F12-BD3B-F04611807B79}");
    // Before an intermediate filter is created: a failure skips that filter.
    virtual HRESULT SelectedFilter(IMoniker* moniker) = 0;
    // After it was created, before it joins: a failure drops it.
    virtual HRESULT CreatedFilter(IBaseFilter* filter) = 0;
};

struct IAMFilterGraphCallback : IUnknown {
    static constexpr IID iid = MakeGuid("{56A868FD-0AD4-11CE-B0A3-0020AF0BA770}");
    // When a pin cannot be rendered: S_OK makes the graph try once more.
    virtual HRESULT UnableToRender(IPin* pin) = 0;
};

struct IServiceProvider : IUnknown {
    static constexpr IID iid = MakeGuid("{6D5140C1-7436-11CE-8034-00AA006009FA}");
    virtual HRESULT QueryService(REFGUID service, REFIID riid, void** ppv) = 0;
};

// ---- capture graph builder -------------------------------------------------------

inline constexpr CLSID CLSID_CaptureGraphBuilder2 = MakeGuid("{BF87B6E1-8C27-11D0-B3F0-00AA003761C5}");
inline constexpr GUID PIN_CATEGORY_CAPTURE = MakeGuid("{FB6C4281-0353-11D1-905F-0000C0CC16BA}");
inline constexpr GUID PIN_CATEGORY_PREVIEW = MakeGuid("{FB6C4282-0353-11D1-905F-0000C0CC16BA}");
inline constexpr GUID LOOK_UPSTREAM_ONLY = MakeGuid("{AC798BE0-98E3-11D1-B3F1-00AA003761C5}");
inline constexpr GUID LOOK_DOWNSTREAM_ONLY = MakeGuid("{AC798BE1-98E3-11D1-B3F1-00AA003761C5}");

struct ICaptureGraphBuilder2 : IUnknown {
    static constexpr IID iid = MakeGuid("{93E5A4E0-2D50-11D2-ABFA-00A0C9C6E38D}");
    virtual HRESULT SetFiltergraph(IGraphBuilder* graph) = 0;
    virtual HRESULT GetFiltergraph(IGraphBuilder** graph) = 0;
    // Looks for the interface on the filter, then (unless the category is
    // LOOK_DOWNSTREAM_ONLY) upstream of it, then downstream of it.
    // `category` and `type` may be null.
    virtual HRESULT FindInterface(const GUID* category, const GUID* type, IBaseFilter* filter, REFIID riid, void** ppv) = 0;
    // Connects the source's pin of `category` (and major `type`, both may
    // be null) through `intermediate` (may be null) to `sink`, inserting a
    // smart tee for a source without a preview pin and converters where the
    // formats differ. S_OK, or VFW_S_NOPREVIEWPIN when the preview came from
    // a smart tee.
    virtual HRESULT RenderStream(const GUID* category, const GUID* type, IUnknown* source, IBaseFilter* intermediate, IBaseFilter* sink) = 0;
    virtual HRESULT FindPin(IUnknown* source, PIN_DIRECTION dir, const GUID* category, const GUID* type, BOOL unconnected, int index, IPin** pin) = 0;
};

// Pin categories are read through IKsPropertySet (AMPROPSETID_Pin, AMPROPERTY_PIN_CATEGORY).
inline constexpr GUID AMPROPSETID_Pin = MakeGuid("{9B00F101-1567-11D1-B3F1-00AA003761C5}");
inline constexpr DWORD AMPROPERTY_PIN_CATEGORY = 0;

struct IKsPropertySet : IUnknown {
    static constexpr IID iid = MakeGuid("{31EFAC30-515C-11D0-A9AA-00AA0061BE93}");
    virtual HRESULT Get(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data, DWORD dataLength, DWORD* returned) = 0;
    virtual HRESULT Set(REFGUID set, DWORD id, void* instance, DWORD instanceLength, void* data, DWORD dataLength) = 0;
    virtual HRESULT QuerySupported(REFGUID set, DWORD id, DWORD* support) = 0;
};

// ---- device controls ---------------------------------------------------------------

enum VideoProcAmpProperty : long {
    VideoProcAmp_Brightness = 0,
    VideoProcAmp_Contrast = 1,
    VideoProcAmp_Hue = 2,
    VideoProcAmp_Saturation = 3,
    VideoProcAmp_Sharpness = 4,
    VideoProcAmp_Gamma = 5,
    VideoProcAmp_ColorEnable = 6,
    VideoProcAmp_WhiteBalance = 7,
    VideoProcAmp_BacklightCompensation = 8,
    VideoProcAmp_Gain = 9,
};
enum VideoProcAmpFlags : long { VideoProcAmp_Flags_Auto = 1, VideoProcAmp_Flags_Manual = 2 };
// The property's short internal name ("WhiteBalance"), used in object names.
const char* VideoProcAmpPropertyName(long property);
// The property as a user reads it ("White Balance"), for sources that have no
// name of their own for it.
const char* VideoProcAmpDisplayName(long property);

struct IAMVideoProcAmp : IUnknown {
    static constexpr IID iid = MakeGuid("{C6E13360-30AC-11D0-A18C-00A0C9118956}");
    // E_PROP_ID_UNSUPPORTED for a property the device does not have.
    virtual HRESULT GetRange(long property, long* min, long* max, long* step, long* defaultValue, long* capsFlags) = 0;
    virtual HRESULT Set(long property, long value, long flags) = 0;
    virtual HRESULT Get(long property, long* value, long* flags) = 0;
    // Not on the platform's interface: the control's name as the device
    // gives it (a V4L2 driver's control name), for the picture controls page.
    virtual HRESULT GetPropertyName(long property, std::string* name) = 0;
};

enum PhysicalConnectorType : long {
    PhysConn_Video_Tuner = 1,
    PhysConn_Video_Composite = 2,
    PhysConn_Video_SVideo = 3,
    PhysConn_Video_Black = 12,
    PhysConn_Video_VideoDecoder = 0x1000,
};

struct IAMCrossbar : IUnknown {
    static constexpr IID iid = MakeGuid("{C6E13380-30AC-11D0-A18C-00A0C9118956}");
    virtual HRESULT get_PinCounts(long* outputs, long* inputs) = 0;
    virtual HRESULT CanRoute(long output, long input) = 0; // S_OK or S_FALSE
    virtual HRESULT Route(long output, long input) = 0;
    virtual HRESULT get_IsRoutedTo(long output, long* input) = 0;
    virtual HRESULT get_CrossbarPinInfo(BOOL isInput, long index, long* relatedIndex, long* physicalType) = 0;
    // Not on the platform's interface: the input's display name.
    virtual HRESULT get_CrossbarPinName(BOOL isInput, long index, std::string* name) = 0;
};

// Selecting a capture format (used by the benchmark and the tests).
struct IAMStreamConfig : IUnknown {
    static constexpr IID iid = MakeGuid("{C6E13340-30AC-11D0-A18C-00A0C9118956}");
    virtual HRESULT SetFormat(const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT GetFormat(AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT GetNumberOfCapabilities(int* count, int* size) = 0;
    virtual HRESULT GetStreamCaps(int index, AM_MEDIA_TYPE* type, BYTE* caps) = 0;
};

// ---- property pages ---------------------------------------------------------------

struct CAUUID {
    ULONG cElems = 0;
    GUID* pElems = nullptr; // CoTaskMemAlloc'ed; the caller frees it with CoTaskMemFree
};

struct ISpecifyPropertyPages : IUnknown {
    static constexpr IID iid = MakeGuid("{B196B28B-BAB4-101A-B69C-00AA00341D07}");
    virtual HRESULT GetPages(CAUUID* pages) = 0;
};

inline constexpr CLSID CLSID_VideoProcAmpPropertyPage = MakeGuid("{71F96464-78F3-11D0-A18C-00A0C9118956}");
inline constexpr CLSID CLSID_CrossbarFilterPropertyPage = MakeGuid("{71F96461-78F3-11D0-A18C-00A0C9118956}");

// ---- renderers ---------------------------------------------------------------------

inline constexpr CLSID CLSID_VideoRenderer = MakeGuid("{70E102B0-5556-11CE-97C0-00AA0055595A}");
inline constexpr CLSID CLSID_VideoMixingRenderer9 = MakeGuid("{51B4ABF3-748F-4E3B-A276-C828330E926A}");
inline constexpr CLSID CLSID_SmartTee = MakeGuid("{CC58E280-8AA1-11D1-B3F1-00AA003761C5}");
inline constexpr CLSID CLSID_Colour = MakeGuid("{1643E180-90F5-11CE-97D5-00AA0055595A}");

// Window styles the video window uses.
inline constexpr long WS_CHILD = 0x40000000;
inline constexpr long WS_CLIPSIBLINGS = 0x04000000;
inline constexpr long WS_CLIPCHILDREN = 0x02000000;
inline constexpr long WS_VISIBLE = 0x10000000;
inline constexpr long WS_CAPTION = 0x00C00000;
inline constexpr long WS_THICKFRAME = 0x00040000;
inline constexpr long WS_EX_TOPMOST = 0x00000008;

// The renderer's own window: a widget of class "VideoRenderer" (see
// FindRendererWindow in platform/dshow/VideoRenderer.h).
struct IVideoWindow : IUnknown {
    static constexpr IID iid = MakeGuid("{56A868B4-0AD4-11CE-B03A-0020AF0BA770}");
    virtual HRESULT put_Caption(const char* caption) = 0;
    virtual HRESULT get_Caption(std::string* caption) = 0;
    virtual HRESULT put_WindowStyle(long style) = 0;
    virtual HRESULT get_WindowStyle(long* style) = 0;
    virtual HRESULT put_WindowStyleEx(long style) = 0;
    virtual HRESULT get_WindowStyleEx(long* style) = 0;
    virtual HRESULT put_AutoShow(long autoShow) = 0;
    virtual HRESULT put_Visible(long visible) = 0; // -1 true, 0 false
    virtual HRESULT get_Visible(long* visible) = 0;
    // owner: a QWidget* (0 makes the window top-level).
    virtual HRESULT put_Owner(OAHWND owner) = 0;
    virtual HRESULT get_Owner(OAHWND* owner) = 0;
    // drain: a QWidget* that receives the window's mouse and key events.
    virtual HRESULT put_MessageDrain(OAHWND drain) = 0;
    virtual HRESULT get_MessageDrain(OAHWND* drain) = 0;
    // In the owner's coordinates (screen coordinates when top-level).
    virtual HRESULT SetWindowPosition(long left, long top, long width, long height) = 0;
    virtual HRESULT GetWindowPosition(long* left, long* top, long* width, long* height) = 0;
};

enum VMR9Mode : DWORD { VMR9Mode_Windowed = 1, VMR9Mode_Windowless = 2, VMR9Mode_Renderless = 4 };
enum VMR9AspectRatioMode : DWORD { VMR9ARMode_None = 0, VMR9ARMode_LetterBox = 1 };

struct IVMRFilterConfig9 : IUnknown {
    static constexpr IID iid = MakeGuid("{5A804648-4F66-4867-9C43-4F5C822CF1B8}");
    // Renderless needs a custom allocator we do not offer: E_NOTIMPL.
    virtual HRESULT SetRenderingMode(DWORD mode) = 0;
    virtual HRESULT GetRenderingMode(DWORD* mode) = 0;
    // 1..16 input pins; VFW_E_WRONG_STATE once a pin is connected.
    virtual HRESULT SetNumberOfStreams(DWORD count) = 0;
    virtual HRESULT GetNumberOfStreams(DWORD* count) = 0;
    virtual HRESULT SetRenderingPrefs(DWORD prefs) = 0;
    virtual HRESULT GetRenderingPrefs(DWORD* prefs) = 0;
};

struct IVMRWindowlessControl9 : IUnknown {
    static constexpr IID iid = MakeGuid("{8F537D09-F85E-4414-B23B-502E54C79927}");
    // window: a QWidget* the video is drawn into.
    virtual HRESULT SetVideoClippingWindow(OAHWND window) = 0;
    // source may be null (the whole frame); destination in the window's coordinates.
    virtual HRESULT SetVideoPosition(const RECT* source, const RECT* destination) = 0;
    virtual HRESULT GetNativeVideoSize(long* width, long* height, long* arWidth, long* arHeight) = 0;
};

struct IVMRAspectRatioControl9 : IUnknown {
    static constexpr IID iid = MakeGuid("{00D96C29-BBDE-4EFC-9901-BB5036392146}");
    virtual HRESULT GetAspectRatioMode(DWORD* mode) = 0;
    virtual HRESULT SetAspectRatioMode(DWORD mode) = 0;
};

// ---- DVD (declared for the graph component's DVD mode; no implementation) ----------

inline constexpr CLSID CLSID_DvdGraphBuilder = MakeGuid("{FCC152B7-F372-11D0-8E00-00C04FD7C08B}");

struct IDvdGraphBuilder : IUnknown {
    static constexpr IID iid = MakeGuid("{FCC152B6-F372-11D0-8E00-00C04FD7C08B}");
    virtual HRESULT GetFiltergraph(IGraphBuilder** graph) = 0;
    virtual HRESULT GetDvdInterface(REFIID riid, void** ppv) = 0;
};

struct IDvdInfo2 : IUnknown {
    static constexpr IID iid = MakeGuid("{34151510-EEC0-11D2-8201-00A0C9D74842}");
    virtual HRESULT GetAudioLanguage(ULONG stream, LCID* language) = 0;
    virtual HRESULT GetSubpictureLanguage(ULONG stream, LCID* language) = 0;
};

// ---- class registration -------------------------------------------------------------

// Registers the framework's classes (graph, builder, renderers, smart tee,
// converter, device enumerator) with CoCreateInstance. Idempotent.
void RegisterMediaFrameworkClasses();
