// Video source selection and preview: the handlers of the "Video Source" group.

#include "app/Unit1.h"

#include "media/MediaKit.h"
#include "platform/dshow/PropertyFrame.h"
#include "platform/ui/Dialogs.h"


#include <QComboBox>
#include <QPushButton>

namespace {

// The device's property pages for one of its interfaces (crossbar or
// picture controls), in the platform's modal frame. Every failure shows
// the handler's own message.
void ShowDevicePages(TForm1& form, REFIID interfaceId, const char* failureMessage)
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
        IUnknown* objects[] = {object.Get()};
        OleCreatePropertyFrame(reinterpret_cast<OAHWND>(&form), 30, 30, nullptr, 1, objects, ids.cElems, ids.pElems, 0, 0, nullptr);
        CoTaskMemFree(ids.pElems);
    } catch (...) {
        ShowMessage(failureMessage);
    }
}

} // namespace

void TForm1::cbSourceChange()
{
    FilterGraph1->SetActive(false);
    btnPreview->setEnabled(!FilterGraph1->Active());
    btnStart->setEnabled(SourceIndex > -1);
}

void TForm1::btnPreviewClick()
{
    ASFWriter->SetFileName(Files.ParkedWriterName());
    ASFWriter->SetFilterGraph(nullptr);
    SourceIndex = cbSource->currentIndex();
    Filter1->BaseFilter()->StoreMoniker(DeviceEnum ? DeviceEnum->DeviceMoniker(SourceIndex).Get() : nullptr);
    FilterGraph1->SetActive(true);

    ComPtr<ICaptureGraphBuilder2> builder = InterfaceOf<ICaptureGraphBuilder2>(*FilterGraph1);
    ComPtr<IBaseFilter> device = InterfaceOf<IBaseFilter>(*Filter1);
    ComPtr<IBaseFilter> renderer = InterfaceOf<IBaseFilter>(*VideoWindow1);
    CheckGraphResult(builder->RenderStream(&PIN_CATEGORY_PREVIEW, nullptr, device.Get(), nullptr, renderer.Get()));

    ComPtr<IAMCrossbar> crossbar;
    builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device.Get(), IAMCrossbar::iid, crossbar.ReleaseAndGetVoid());
    btnCrossbar->setEnabled(static_cast<bool>(crossbar));
    ComPtr<IAMVideoProcAmp> procAmp;
    builder->FindInterface(&PIN_CATEGORY_CAPTURE, &MEDIATYPE_Video, device.Get(), IAMVideoProcAmp::iid, procAmp.ReleaseAndGetVoid());
    btnConfigure->setEnabled(static_cast<bool>(procAmp));

    FilterGraph1->Play();
    btnPreview->setEnabled(!FilterGraph1->Active());
    btnStart->setEnabled(SourceIndex > -1);
}

void TForm1::btnCrossbarClick()
{
    ShowDevicePages(*this, IAMCrossbar::iid, "Error reading device driver crossbar properties.");
}

void TForm1::btnConfigureClick()
{
    ShowDevicePages(*this, IAMVideoProcAmp::iid, "Error reading device driver display properties.");
}
