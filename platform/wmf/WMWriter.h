#pragma once
// The writer side of the Windows Media runtime: sinks that receive the
// encoded ASF stream (the file sink, the HTTP network sink), the writer's
// advanced interface and its header attributes.
//
// Threads. Sinks are called on the writer's encoding thread: OnHeader once
// when writing begins (and for a sink added while writing), OnDataUnit for
// every data packet, OnEndWriting when writing ends. A sink never blocks
// that thread on I/O of its clients.

#include "platform/wmf/AsfFormat.h"
#include "platform/wmf/KeyFrameRequest.h"
#include "platform/wmf/WMProfile.h"

#include <string>

enum WMT_ATTR_DATATYPE : int32_t {
    WMT_TYPE_DWORD = 0,
    WMT_TYPE_STRING = 1,
    WMT_TYPE_BINARY = 2,
    WMT_TYPE_BOOL = 3,
    WMT_TYPE_QWORD = 4,
    WMT_TYPE_WORD = 5,
    WMT_TYPE_GUID = 6,
};

enum WMT_NET_PROTOCOL : int32_t { WMT_PROTOCOL_HTTP = 0 };

// Values of the "DeinterlaceMode" input setting.
inline constexpr DWORD WM_DM_NOTINTERLACED = 0;
inline constexpr DWORD WM_DM_DEINTERLACE_NORMAL = 1;

inline constexpr const WCHAR* g_wszTitle = u"Title";
inline constexpr const WCHAR* g_wszDeinterlaceMode = u"DeinterlaceMode";

struct IWMWriterSink : IUnknown {
    static constexpr IID iid = MakeGuid("{96406BE4-2B2B-11D3-B36B-00C04F6108FF}");
    // The ASF header: the Header Object and the first 50 bytes of the Data Object.
    virtual HRESULT OnHeader(const uint8_t* header, size_t length) = 0;
    virtual HRESULT IsRealTime(BOOL* realTime) = 0;
    // One data packet of the header's packet size (shared, read-only).
    virtual HRESULT OnDataUnit(const asf::DataPacketPtr& packet) = 0;
    virtual HRESULT OnEndWriting() = 0;
    // Called after OnHeader with the writer's key frame request: a sink that
    // asks gets a packet starting a key frame within one frame time. Sinks
    // that never ask need not keep it.
    virtual HRESULT SetKeyFrameRequest(KeyFrameRequestPtr) { return E_NOTIMPL; }
};

struct IWMWriterFileSink : IWMWriterSink {
    using Base = IWMWriterSink;
    static constexpr IID iid = MakeGuid("{96406BE5-2B2B-11D3-B36B-00C04F6108FF}");
    // Takes effect at the next OnHeader; an empty name writes nothing.
    virtual HRESULT Open(const std::string& fileName) = 0;
};

struct IWMWriterNetworkSink : IWMWriterSink {
    using Base = IWMWriterSink;
    static constexpr IID iid = MakeGuid("{96406BE7-2B2B-11D3-B36B-00C04F6108FF}");
    virtual HRESULT SetMaximumClients(DWORD maxClients) = 0;
    virtual HRESULT GetMaximumClients(DWORD* maxClients) = 0;
    // Only WMT_PROTOCOL_HTTP.
    virtual HRESULT SetNetworkProtocol(WMT_NET_PROTOCOL protocol) = 0;
    virtual HRESULT GetNetworkProtocol(WMT_NET_PROTOCOL* protocol) = 0;
    // "http://host:port/" once open.
    virtual HRESULT GetHostURL(std::string* url) = 0;
    // Binds every local address on *port, IPv6 and IPv4 (IPv4 alone where the
    // system has no IPv6; 0 = any free port), and starts
    // serving; *port gets the bound port. A failure leaves the sink closed
    // and *port unchanged.
    virtual HRESULT Open(DWORD* port) = 0;
    // Ends every client connection; the sink keeps listening.
    virtual HRESULT Disconnect() = 0;
    // Ends every connection, frees the port and joins the sink's thread.
    virtual HRESULT Close() = 0;
};

struct IWMWriterAdvanced : IUnknown {
    static constexpr IID iid = MakeGuid("{96406BE3-2B2B-11D3-B36B-00C04F6108FF}");
    virtual HRESULT GetSinkCount(DWORD* count) = 0;
    virtual HRESULT GetSink(DWORD index, IWMWriterSink** sink) = 0;
    // Appends; a sink added while writing gets the header at once.
    virtual HRESULT AddSink(IWMWriterSink* sink) = 0;
    // Detaches the sink (no OnEndWriting); E_INVALIDARG when not attached.
    virtual HRESULT RemoveSink(IWMWriterSink* sink) = 0;
    virtual HRESULT SetLiveSource(BOOL live) = 0;
    virtual HRESULT IsRealTime(BOOL* realTime) = 0;
    // Presentation time of the last written sample, 100-ns units.
    virtual HRESULT GetWriterTime(QWORD* time) = 0;
};

struct IWMWriterAdvanced2 : IWMWriterAdvanced {
    using Base = IWMWriterAdvanced;
    static constexpr IID iid = MakeGuid("{962DC1EC-C046-4DB8-9CC7-26CEAE500817}");
    // Known setting: "DeinterlaceMode" (WMT_TYPE_DWORD, 4 bytes) on a video input.
    virtual HRESULT SetInputSetting(DWORD input, const WCHAR* name, WMT_ATTR_DATATYPE type, const BYTE* value, WORD length) = 0;
    virtual HRESULT GetInputSetting(DWORD input, const WCHAR* name, WMT_ATTR_DATATYPE* type, BYTE* value, WORD* length) = 0;
};

struct IWMHeaderInfo : IUnknown {
    static constexpr IID iid = MakeGuid("{96406BDA-2B2B-11D3-B36B-00C04F6108FF}");
    // The attribute as stored; value nullptr asks for *length only.
    virtual HRESULT GetAttributeByName(WORD* stream, const WCHAR* name, WMT_ATTR_DATATYPE* type, BYTE* value, WORD* length) = 0;
    virtual HRESULT SetAttribute(WORD stream, const WCHAR* name, WMT_ATTR_DATATYPE type, const BYTE* value, WORD length) = 0;
};

struct IWMHeaderInfo2 : IWMHeaderInfo {
    using Base = IWMHeaderInfo;
    static constexpr IID iid = MakeGuid("{15CF9781-454E-482E-B393-85FAE487A810}");
};

struct IWMHeaderInfo3 : IWMHeaderInfo2 {
    using Base = IWMHeaderInfo2;
    static constexpr IID iid = MakeGuid("{15CC68E3-27CC-4ECD-B222-3F5D02D80BD5}");
    // String values are UTF-16, with or without a terminator counted in
    // `length` (bytes). "Title" on stream 0 goes into the ASF header.
    virtual HRESULT AddAttribute(WORD stream, const WCHAR* name, WORD* index, WMT_ATTR_DATATYPE type, WORD language,
        const BYTE* value, DWORD length) = 0;
};

// The HTTP network sink (see NetworkSink.h for what it serves).
HRESULT WMCreateWriterNetworkSink(IWMWriterNetworkSink** sink);
// The file sink the writer uses as its sink 0.
HRESULT WMCreateWriterFileSink(IWMWriterFileSink** sink);
