// Video source selection and preview: the handlers of the "Video Source" group.

#include "app/Unit1.h"
#include "app/Unit1PortMapping.h"

#include "media/MediaKit.h"
#include "platform/dshow/PropertyFrame.h"
#include "platform/ui/Dialogs.h"
#include "platform/ui/Resources.h"

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QTimer>

#include <algorithm>
#include <QPushButton>

namespace {

// The device's property pages for one of its interfaces (crossbar or
// picture controls), in the platform's modal frame, opened on the page of
// that interface. Every failure shows the handler's own message.
void ShowDevicePages(TForm1& form, REFIID interfaceId, const CLSID& firstPage, const char* failureMessage)
{
    try {
        ComPtr<IBaseFilter> device = InterfaceOf<IBaseFilter>(*form.Filter1);
        ComPtr<ICaptureGraphBuilder2> builder = InterfaceOf<ICaptureGraphBuilder2>(*form.FilterGraph1);
        ComPtr<IUnknown> object;
        builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device.Get(), interfaceId, object.ReleaseAndGetVoid());
        if (!object)
            return;
        ComPtr<ISpecifyPropertyPages> pages;
        if (object->QueryInterface(ISpecifyPropertyPages::iid, pages.ReleaseAndGetVoid()) != S_OK || !pages)
            return;
        CAUUID ids;
        CheckGraphResult(pages->GetPages(&ids));
        std::stable_partition(ids.pElems, ids.pElems + ids.cElems, [&](const CLSID& id) { return id == firstPage; });
        IUnknown* objects[] = {object.Get()};
        OleCreatePropertyFrame(reinterpret_cast<OAHWND>(&form), 30, 30, nullptr, 1, objects, ids.cElems, ids.pElems, 0, 0, nullptr);
        CoTaskMemFree(ids.pElems);
    } catch (...) {
        ShowMessage(failureMessage);
    }
}

// The device's crossbar while the graph is active, or nil.
ComPtr<IAMCrossbar> CrossbarOf(TForm1& form)
{
    if (!form.FilterGraph1->Active())
        return {};
    ComPtr<IBaseFilter> device = InterfaceOf<IBaseFilter>(*form.Filter1);
    ComPtr<ICaptureGraphBuilder2> builder = InterfaceOf<ICaptureGraphBuilder2>(*form.FilterGraph1);
    ComPtr<IAMCrossbar> crossbar;
    builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device.Get(), IAMCrossbar::iid,
                           crossbar.ReleaseAndGetVoid());
    return crossbar;
}

// The selected device as a user knows it: its name and, for a camera, its
// device file ("Lumora Fake Camera" (/dev/video0)).
std::string DeviceDescription(const TSysDevEnum* devices, int index)
{
    if (!devices || index < 0 || index >= devices->DeviceCount())
        return "The video source";
    std::string text = "The video source \"" + devices->DeviceInfo(index).FriendlyName + "\"";
    ComPtr<IPropertyBag> bag;
    if (ComPtr<IMoniker> moniker = devices->DeviceMoniker(index);
        moniker && SUCCEEDED(moniker->BindToStorage(nullptr, nullptr, IPropertyBag::iid, bag.ReleaseAndGetVoid())) && bag) {
        VARIANT path;
        if (SUCCEEDED(bag->Read("DevicePath", &path, nullptr)) && path.vt == VT_BSTR && !path.bstrVal.empty())
            text += " (" + path.bstrVal + ")";
        VariantClear(&path);
    }
    return text;
}

} // namespace

void TForm1::WithDeviceNamed(const std::function<void()>& openDevice)
{
    try {
        openDevice();
    } catch (const EDirectShowException& e) {
        if (e.ErrorCode != HRESULT_DEVICE_BUSY)
            throw;
        throw EDirectShowException(e.Message() + "\n" + DeviceDescription(DeviceEnum.get(), SourceIndex) +
                                       " is being used by another program. Close that program, then try again.",
                                   e.ErrorCode);
    }
}

void TForm1::cbSourceChange()
{
    // The chosen crossbar input belongs to the device that was selected.
    CrossbarInput = -1;
    if (Streaming()) {
        EndStreamForSourceChange();
        return;
    }
    FilterGraph1->SetActive(false);
    btnPreview->setEnabled(!FilterGraph1->Active());
    btnStart->setEnabled(SourceIndex > -1);
}

void TForm1::btnPreviewClick()
{
    ASFWriter->SetFileName(Files.ParkedWriterName());
    ASFWriter->SetFilterGraph(nullptr);
    SourceIndex = cbSource->currentIndex();
    // Nothing to show: say what to do, and build no graph, so the window
    // stays as it was (a graph without a device would take Start to a
    // streaming state that streams nothing).
    if (SourceIndex < 0 || !DeviceEnum || SourceIndex >= DeviceEnum->DeviceCount())
        throw Exception(NoVideoSourceText);
    Filter1->BaseFilter()->StoreMoniker(DeviceEnum ? DeviceEnum->DeviceMoniker(SourceIndex).Get() : nullptr);
    FilterGraph1->SetActive(true);

    ComPtr<ICaptureGraphBuilder2> builder = InterfaceOf<ICaptureGraphBuilder2>(*FilterGraph1);
    ComPtr<IBaseFilter> device = InterfaceOf<IBaseFilter>(*Filter1);
    ComPtr<IBaseFilter> renderer = InterfaceOf<IBaseFilter>(*VideoWindow1);
    WithDeviceNamed([&] {
        CheckGraphResult(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, device.Get(), nullptr, renderer.Get()));
    });

    ComPtr<IAMCrossbar> crossbar;
    builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device.Get(), IAMCrossbar::iid, crossbar.ReleaseAndGetVoid());
    btnCrossbar->setEnabled(static_cast<bool>(crossbar));
    ComPtr<IAMVideoProcAmp> procAmp;
    builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device.Get(), IAMVideoProcAmp::iid, procAmp.ReleaseAndGetVoid());
    btnConfigure->setEnabled(static_cast<bool>(procAmp));

    ApplyCrossbarInput();
    FilterGraph1->Play();
    btnPreview->setEnabled(!FilterGraph1->Active());
    btnStart->setEnabled(SourceIndex > -1);
}

void TForm1::btnCrossbarClick()
{
    ShowDevicePages(*this, IAMCrossbar::iid, CLSID_CrossbarFilterPropertyPage,
                    "Error reading device driver crossbar properties.");
    // Remember the input, so that a graph built again (Start, Stop) uses it.
    try {
        if (ComPtr<IAMCrossbar> crossbar = CrossbarOf(*this)) {
            long input = -1;
            if (SUCCEEDED(crossbar->get_IsRoutedTo(0, &input)) && input >= 0)
                CrossbarInput = input;
        }
    } catch (const std::exception&) {
    }
}

void TForm1::btnConfigureClick()
{
    ShowDevicePages(*this, IAMVideoProcAmp::iid, CLSID_VideoProcAmpPropertyPage,
                    "Error reading device driver display properties.");
}

void TForm1::ApplyCrossbarInput()
{
    if (CrossbarInput < 0)
        return;
    if (ComPtr<IAMCrossbar> crossbar = CrossbarOf(*this))
        crossbar->Route(0, CrossbarInput);
}

void TForm1::EndStreamForSourceChange()
{
    // The stream belongs to the source that was selected when it started.
    // Another choice ends it the way Stop does, but without building a
    // preview of the new row (picking a source never starts one): the
    // window shows the stopped state and the user presses Preview or Start.
    PortMapping->Stop();
    tmrStartButtonUpload->stop();
    tmrMain->stop();
    FilterGraph1->SetActive(false);
    ASFWriter->SetFileName(Files.ParkedWriterName());
    ASFWriter->SetFilterGraph(nullptr);
    Label7->setVisible(false);
    SetNetworkSettingsEnabled(true);
    GroupBox2->setEnabled(true);
    GroupBox1->setEnabled(true);
    GroupBox5->setEnabled(true);
    btnStop->setEnabled(false);
    btnStart->setEnabled(SourceIndex > -1);
    btnPreview->setEnabled(!FilterGraph1->Active());
    if (FileExists(Files.ParkedWriterName()))
        DeleteFileQuietly(Files.ParkedWriterName());
}
