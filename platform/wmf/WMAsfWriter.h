#pragma once
// The Windows Media ASF writer filter: a sink filter of our media framework
// that encodes its inputs with a Windows Media profile (one input pin per
// profile stream) and hands the ASF stream to its sinks: sink 0 is its own
// file sink (IFileSinkFilter::SetFileName), more are added through
// IServiceProvider -> IWMWriterAdvanced2::AddSink (the network sink). Its
// raw pictures are offered to other outputs through IWMWriterPictureTap
// (PictureTap.h), its sound through IWMWriterAudioTap (AudioTap.h).
//
// Threads: configuration on the user-interface thread; samples arrive on
// the upstream streaming thread and are encoded on the filter's own
// encoding thread (started when the filter leaves Stopped, joined when it
// returns there), which also calls the sinks.

#include "platform/dshow/DShow.h"
#include "platform/wmf/WMWriter.h"

inline constexpr CLSID CLSID_WMAsfWriter = MakeGuid("{7C23220E-55BB-11D3-8B16-00C04FB6BD3D}");

// Parameters of IConfigAsfWriter2::SetParam.
inline constexpr DWORD AM_CONFIGASFWRITER_PARAM_AUTOINDEX = 1;
inline constexpr DWORD AM_CONFIGASFWRITER_PARAM_MULTIPASS = 2;
inline constexpr DWORD AM_CONFIGASFWRITER_PARAM_DONTCOMPRESS = 3;

struct IConfigAsfWriter : IUnknown {
    static constexpr IID iid = MakeGuid("{45086030-F7E4-486A-B504-826BB5792A3B}");
    // Configures the encoder and rebuilds the input pins (one per stream).
    // VFW_E_WRONG_STATE unless stopped; VFW_E_ALREADY_CONNECTED while a pin
    // is connected; NS_E_PROFILE_NOT_FOUND / NS_E_INVALID_PROFILE for
    // profiles it cannot use (the previous profile stays).
    virtual HRESULT ConfigureFilterUsingProfileGuid(REFGUID profile) = 0;
    // The system profile GUID in use; GUID_NULL for a profile from text.
    virtual HRESULT GetCurrentProfileGuid(GUID* profile) = 0;
    virtual HRESULT ConfigureFilterUsingProfile(IWMProfile* profile) = 0;
    virtual HRESULT GetCurrentProfile(IWMProfile** profile) = 0;
    virtual HRESULT SetIndexMode(BOOL index) = 0;
    virtual HRESULT GetIndexMode(BOOL* index) = 0;
};

struct IConfigAsfWriter2 : IConfigAsfWriter {
    using Base = IConfigAsfWriter;
    static constexpr IID iid = MakeGuid("{7989CCAA-53F0-44F0-884A-F3B03F6AE066}");
    // The profile stream number an input pin feeds.
    virtual HRESULT StreamNumFromPin(IPin* pin, WORD* streamNumber) = 0;
    // AM_CONFIGASFWRITER_PARAM_*; value1 0 or 1, value2 0.
    virtual HRESULT SetParam(DWORD param, DWORD value1, DWORD value2) = 0;
    virtual HRESULT GetParam(DWORD param, DWORD* value1, DWORD* value2) = 0;
    virtual HRESULT ResetMultiPassState() = 0;
};

struct IFileSinkFilter : IUnknown {
    static constexpr IID iid = MakeGuid("{00855B90-CE1B-11D0-BD4F-00A0C911CE86}");
    // The file of sink 0 (UTF-8 path); takes effect when writing next begins.
    virtual HRESULT SetFileName(const char* fileName, const AM_MEDIA_TYPE* type) = 0;
    virtual HRESULT GetCurFile(std::string* fileName, AM_MEDIA_TYPE* type) = 0;
};

// Creates the writer filter (what CoCreateInstance(CLSID_WMAsfWriter) does).
HRESULT CreateWMAsfWriter(REFIID riid, void** ppv);
// Registers CLSID_WMAsfWriter with CoCreateInstance (idempotent).
void RegisterWMAsfWriterClass();
