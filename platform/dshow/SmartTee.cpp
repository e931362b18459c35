// The smart tee: splits one capture stream into a capture and a preview
// output. The capture branch decides the stream's fate; the preview branch
// is best-effort (a failing or slow renderer never stops the capture).

#include "platform/dshow/BaseClasses.h"
#include "platform/dshow/Filters.h"

namespace {

class SmartTee;

class TeeInputPin final : public InputPin {
public:
    TeeInputPin(FilterCore& filter, SmartTee& tee) : InputPin(filter, "Input"), m_tee(tee) {}
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override { return IsCompleteType(type) ? S_OK : S_FALSE; }
    HRESULT Receive(IMediaSample* sample) override;
    HRESULT EndOfStream() override;
    HRESULT WantsFrame(REFERENCE_TIME start) override;

private:
    SmartTee& m_tee;
};

class TeeOutputPin final : public OutputPin {
public:
    TeeOutputPin(FilterCore& filter, const char* name, const GUID& category, PinBase& input)
        : OutputPin(filter, name, category), m_input(input)
    {
    }
    // Exactly the input's type: the tee does not convert.
    HRESULT CheckMediaType(const AM_MEDIA_TYPE& type) override
    {
        if (!m_input.IsConnected())
            return VFW_E_NOT_CONNECTED;
        const AM_MEDIA_TYPE in = m_input.ConnectionType();
        return TypeMatches(type, in) && type.subtype == in.subtype ? S_OK : S_FALSE;
    }
    HRESULT GetMediaType(int index, AM_MEDIA_TYPE* type) override
    {
        if (index != 0 || !m_input.IsConnected())
            return S_FALSE;
        *type = m_input.ConnectionType();
        return S_OK;
    }

private:
    PinBase& m_input;
};

class SmartTee final : public BaseFilter<> {
public:
    SmartTee() : BaseFilter(CLSID_SmartTee)
    {
        m_in = static_cast<TeeInputPin*>(AddPin(std::make_unique<TeeInputPin>(*this, *this)));
        m_capture = static_cast<TeeOutputPin*>(AddPin(std::make_unique<TeeOutputPin>(*this, "Capture", PIN_CATEGORY_CAPTURE, *m_in)));
        m_preview = static_cast<TeeOutputPin*>(AddPin(std::make_unique<TeeOutputPin>(*this, "Preview", PIN_CATEGORY_PREVIEW, *m_in)));
    }

    // Each branch gets the frames it will use (all of them, untimed).
    HRESULT Deliver(IMediaSample* sample)
    {
        REFERENCE_TIME start = 0, end = 0;
        const bool timed = SUCCEEDED(sample->GetTime(&start, &end));
        HRESULT hr = !timed || m_capture->Wanted(start) ? m_capture->Deliver(sample) : S_OK;
        if (hr == VFW_E_NOT_CONNECTED)
            hr = S_OK;
        if (!timed || m_preview->Wanted(start))
            m_preview->Deliver(sample);
        return hr;
    }
    bool Wanted(REFERENCE_TIME start) { return m_capture->Wanted(start) || m_preview->Wanted(start); }
    void EndOfStream()
    {
        m_capture->DeliverEndOfStream();
        m_preview->DeliverEndOfStream();
    }

private:
    TeeInputPin* m_in;
    TeeOutputPin* m_capture;
    TeeOutputPin* m_preview;
};

HRESULT TeeInputPin::Receive(IMediaSample* sample)
{
    const HRESULT hr = CheckStreaming();
    if (FAILED(hr))
        return hr;
    return m_tee.Deliver(sample);
}

HRESULT TeeInputPin::WantsFrame(REFERENCE_TIME start)
{
    return m_tee.Wanted(start) ? S_OK : S_FALSE;
}

HRESULT TeeInputPin::EndOfStream()
{
    m_tee.EndOfStream();
    return S_OK;
}

} // namespace

HRESULT CreateSmartTee(REFIID riid, void** ppv)
{
    if (!ppv)
        return E_POINTER;
    auto tee = ComPtr<SmartTee>::Adopt(NewComObject<SmartTee>());
    return tee->QueryInterface(riid, ppv);
}
