#include "platform/dshow/DeviceEnum.h"
#include "platform/dshow/AudioCapture.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace {

// ---- V4L2 device scan ---------------------------------------------------------

int VideoNodeNumber(const char* name)
{
    if (std::strncmp(name, "video", 5) != 0 || !name[5])
        return -1;
    char* end = nullptr;
    const long n = std::strtol(name + 5, &end, 10);
    return (*end == '\0' && n >= 0) ? static_cast<int>(n) : -1;
}

// The card name when the node can capture video, or nothing.
bool QueryCaptureDevice(const std::string& path, std::string& card)
{
    const int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return false;
    v4l2_capability cap{};
    int rc;
    do {
        rc = ::ioctl(fd, VIDIOC_QUERYCAP, &cap);
    } while (rc < 0 && errno == EINTR);
    ::close(fd);
    if (rc < 0)
        return false;
    // Nodes of multi-node drivers report their own capabilities in device_caps.
    const uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
    if (!(caps & V4L2_CAP_VIDEO_CAPTURE))
        return false;
    card.assign(reinterpret_cast<const char*>(cap.card), strnlen(reinterpret_cast<const char*>(cap.card), sizeof cap.card));
    return true;
}

bool TestSourceEnabled()
{
    const char* v = std::getenv("LUMORA_TEST_SOURCE");
    return !(v && std::strcmp(v, "0") == 0);
}

// ---- property bag ---------------------------------------------------------------

class DevicePropertyBag final : public ComObject<IPropertyBag> {
public:
    explicit DevicePropertyBag(DeviceIdentity device) : m_device(std::move(device)) {}

    HRESULT Read(const char* name, VARIANT* value, IErrorLog*) override
    {
        if (!name || !value)
            return E_POINTER;
        if (strcasecmp(name, "FriendlyName") == 0) {
            value->vt = VT_BSTR;
            value->bstrVal = m_device.friendlyName;
            return S_OK;
        }
        if (strcasecmp(name, "CLSID") == 0 && !(m_device.clsid == GUID_NULL)) {
            value->vt = VT_BSTR;
            value->bstrVal = GuidToString(m_device.clsid);
            return S_OK;
        }
        if (strcasecmp(name, "DevicePath") == 0 && !m_device.path.empty()) {
            value->vt = VT_BSTR;
            value->bstrVal = m_device.path;
            return S_OK;
        }
        return E_INVALIDARG;
    }
    HRESULT Write(const char*, const VARIANT*) override { return E_ACCESSDENIED; }

private:
    DeviceIdentity m_device;
};

// ---- moniker ----------------------------------------------------------------------
//
// Persisted state (after the class id written by OleSaveToStream):
//   u32 length, then that many bytes of UTF-8 text  "kind:path\nfriendly name"
// A V4L2 device is identified by its node path, the test source by its kind.

constexpr uint32_t kMaxIdentityBytes = 64 * 1024;

std::string IdentityText(const DeviceIdentity& d) { return d.kind + ":" + d.path + "\n" + d.friendlyName; }

bool ParseIdentity(const std::string& text, DeviceIdentity& d)
{
    const size_t colon = text.find(':');
    const size_t nl = text.find('\n');
    if (colon == std::string::npos || nl == std::string::npos || colon > nl)
        return false;
    d.kind = text.substr(0, colon);
    d.path = text.substr(colon + 1, nl - colon - 1);
    d.friendlyName = text.substr(nl + 1);
    if (d.kind == "v4l2")
        d.clsid = CLSID_VideoCaptureSource;
    else if (d.kind == "test")
        d.clsid = CLSID_LumoraTestSource;
    else if (d.kind == "pulse" || d.kind == "alsa")
        d.clsid = CLSID_AudioCaptureSource;
    else if (d.kind == "tone")
        d.clsid = CLSID_LumoraTestTone;
    else
        return false;
    return true;
}

class DeviceMoniker final : public ComObject<IMoniker> {
public:
    DeviceMoniker() = default;
    explicit DeviceMoniker(DeviceIdentity device) : m_device(std::move(device)) {}

    HRESULT GetClassID(CLSID* clsid) override
    {
        if (!clsid)
            return E_POINTER;
        *clsid = CLSID_CDeviceMoniker;
        return S_OK;
    }
    HRESULT IsDirty() override { return S_FALSE; }
    HRESULT Load(IStream* stream) override
    {
        uint8_t len[4];
        ULONG got = 0;
        if (!stream || stream->Read(len, 4, &got) != S_OK || got != 4)
            return STG_E_READFAULT;
        const uint32_t n = static_cast<uint32_t>(len[0]) | static_cast<uint32_t>(len[1]) << 8 |
                           static_cast<uint32_t>(len[2]) << 16 | static_cast<uint32_t>(len[3]) << 24;
        if (n > kMaxIdentityBytes)
            return STG_E_READFAULT;
        std::string text(n, '\0');
        if (n && (stream->Read(text.data(), n, &got) != S_OK || got != n))
            return STG_E_READFAULT;
        DeviceIdentity d;
        if (!ParseIdentity(text, d))
            return STG_E_READFAULT;
        m_device = std::move(d);
        return S_OK;
    }
    HRESULT Save(IStream* stream, BOOL) override
    {
        if (!stream)
            return E_POINTER;
        const std::string text = IdentityText(m_device);
        const uint32_t n = static_cast<uint32_t>(text.size());
        const uint8_t len[4] = {static_cast<uint8_t>(n), static_cast<uint8_t>(n >> 8), static_cast<uint8_t>(n >> 16),
                                static_cast<uint8_t>(n >> 24)};
        HRESULT hr = stream->Write(len, 4, nullptr);
        if (SUCCEEDED(hr) && n)
            hr = stream->Write(text.data(), n, nullptr);
        return hr;
    }
    HRESULT BindToObject(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (m_device.kind.empty())
            return MK_E_NOOBJECT;
        // A device that has gone away since it was stored cannot be bound.
        if ((m_device.kind == "test" || m_device.kind == "tone") && !TestSourceEnabled())
            return MK_E_UNAVAILABLE;
        if (m_device.kind == "v4l2" && ::access(m_device.path.c_str(), F_OK) != 0)
            return MK_E_UNAVAILABLE;
        return CreateCaptureFilter(m_device, riid, ppv);
    }
    HRESULT BindToStorage(IBindCtx*, IMoniker*, REFIID riid, void** ppv) override
    {
        if (!ppv)
            return E_POINTER;
        *ppv = nullptr;
        if (!(riid == IPropertyBag::iid))
            return E_NOINTERFACE;
        *ppv = static_cast<IPropertyBag*>(NewComObject<DevicePropertyBag>(m_device));
        return S_OK;
    }
    HRESULT GetDisplayName(IBindCtx*, IMoniker*, std::string* name) override
    {
        if (!name)
            return E_POINTER;
        *name = "@device:" + m_device.kind + ":" + m_device.path;
        return S_OK;
    }

private:
    DeviceIdentity m_device;
};

// ---- enumerators -------------------------------------------------------------------

class MonikerEnumerator final : public ComObject<IEnumMoniker> {
public:
    explicit MonikerEnumerator(std::vector<DeviceIdentity> devices) : m_devices(std::move(devices)) {}

    HRESULT Next(ULONG count, IMoniker** monikers, ULONG* fetched) override
    {
        if (!monikers)
            return E_POINTER;
        ULONG n = 0;
        while (n < count && m_pos < m_devices.size())
            monikers[n++] = NewComObject<DeviceMoniker>(m_devices[m_pos++]);
        if (fetched)
            *fetched = n;
        return n == count ? S_OK : S_FALSE;
    }
    HRESULT Skip(ULONG count) override
    {
        const size_t left = m_devices.size() - m_pos;
        m_pos += std::min<size_t>(count, left);
        return count <= left ? S_OK : S_FALSE;
    }
    HRESULT Reset() override
    {
        m_pos = 0;
        return S_OK;
    }

private:
    std::vector<DeviceIdentity> m_devices;
    size_t m_pos = 0;
};

std::vector<DeviceIdentity> Categories()
{
    auto cat = [](const char* name, const CLSID& id) {
        DeviceIdentity d;
        d.kind = "category";
        d.friendlyName = name;
        d.clsid = id;
        return d;
    };
    return {cat("Video Capture Sources", CLSID_VideoInputDeviceCategory),
            cat("Audio Capture Sources", CLSID_AudioInputDeviceCategory),
            cat("DirectShow Filters", CLSID_LegacyAmFilterCategory)};
}

class SystemDeviceEnum final : public ComObject<ICreateDevEnum> {
public:
    HRESULT CreateClassEnumerator(REFCLSID category, IEnumMoniker** out, DWORD) override
    {
        if (!out)
            return E_POINTER;
        *out = nullptr;
        std::vector<DeviceIdentity> devices;
        if (category == CLSID_VideoInputDeviceCategory)
            devices = EnumerateVideoInputDevices();
        else if (category == CLSID_AudioInputDeviceCategory)
            devices = EnumerateAudioInputDevices();
        else if (category == CLSID_ActiveMovieCategories)
            devices = Categories();
        if (devices.empty())
            return S_FALSE;
        *out = NewComObject<MonikerEnumerator>(std::move(devices));
        return S_OK;
    }
};

} // namespace

std::vector<DeviceIdentity> EnumerateVideoInputDevices()
{
    std::vector<std::pair<int, DeviceIdentity>> found;
    if (DIR* dir = ::opendir("/dev")) {
        while (dirent* e = ::readdir(dir)) {
            const int number = VideoNodeNumber(e->d_name);
            if (number < 0)
                continue;
            DeviceIdentity d;
            d.kind = "v4l2";
            d.path = std::string("/dev/") + e->d_name;
            d.clsid = CLSID_VideoCaptureSource;
            if (QueryCaptureDevice(d.path, d.friendlyName))
                found.emplace_back(number, std::move(d));
        }
        ::closedir(dir);
    }
    std::sort(found.begin(), found.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<DeviceIdentity> devices;
    for (auto& f : found)
        devices.push_back(std::move(f.second));
    if (TestSourceEnabled()) {
        DeviceIdentity test;
        test.kind = "test";
        test.friendlyName = kTestSourceName;
        test.clsid = CLSID_LumoraTestSource;
        devices.push_back(std::move(test));
    }
    return devices;
}

void RegisterDeviceEnumClasses()
{
    CoRegisterClass(CLSID_SystemDeviceEnum, [](REFIID riid, void** ppv) {
        ComPtr<SystemDeviceEnum> e = ComPtr<SystemDeviceEnum>::Adopt(NewComObject<SystemDeviceEnum>());
        return e->QueryInterface(riid, ppv);
    });
    CoRegisterClass(CLSID_CDeviceMoniker, [](REFIID riid, void** ppv) {
        ComPtr<DeviceMoniker> m = ComPtr<DeviceMoniker>::Adopt(NewComObject<DeviceMoniker>());
        return m->QueryInterface(riid, ppv);
    });
}
