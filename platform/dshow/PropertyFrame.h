#pragma once
// The property frame: a modal dialog with the property pages of an object
// (picture controls as sliders, crossbar inputs as a list), applied live.

#include "platform/dshow/DShow.h"

#include <functional>

class QDialog;

// Shows the frame and returns when the user closes it. owner is a QWidget*
// (or 0); x, y are relative to the owner. Pages whose class is unknown, or
// whose interface the object lacks, are left out; with no page left the
// frame is not shown and E_INVALIDARG is returned.
HRESULT OleCreatePropertyFrame(OAHWND owner, unsigned x, unsigned y, const char* caption, ULONG objectCount,
                               IUnknown** objects, ULONG pageCount, const CLSID* pages, LCID locale, DWORD reserved,
                               void* reserved2);

// Tests answer the frame instead of a user: the hook gets the dialog (its
// widgets are named: "slider<Property>", "auto<Property>", the control's
// shown name "label<Property>", "cbInput",
// "btnDefault") while it is shown, and the frame closes when it returns
// (accepted unless the hook called reject()). nullptr restores the modal
// dialog. Returns the previous hook.
using PropertyFrameHook = std::function<void(QDialog&)>;
PropertyFrameHook SetPropertyFrameHook(PropertyFrameHook hook);
