// Readable texts for the result codes the framework returns.

#include "platform/dshow/DShow.h"

#include <algorithm>
#include <cstring>

namespace {
struct ErrorTextEntry {
    HRESULT code;
    const char* text;
};

const ErrorTextEntry kTexts[] = {
    {S_OK, "No error."},
    {S_FALSE, "The operation completed but returned a false result."},
    {E_NOTIMPL, "Not implemented."},
    {E_NOINTERFACE, "No such interface supported."},
    {E_POINTER, "Invalid pointer."},
    {E_ABORT, "Operation aborted."},
    {E_FAIL, "Unspecified error."},
    {E_UNEXPECTED, "Catastrophic failure."},
    {E_ACCESSDENIED, "Access is denied."},
    {E_OUTOFMEMORY, "Not enough storage is available to complete this operation."},
    {E_INVALIDARG, "The parameter is incorrect."},
    {REGDB_E_CLASSNOTREG, "Class not registered."},
    {CLASS_E_NOAGGREGATION, "Class does not support aggregation."},
    {MK_E_UNAVAILABLE, "Operation unavailable."},
    {MK_E_NOOBJECT, "The object could not be found."},
    {STG_E_READFAULT, "A disk error occurred during a read operation."},
    {STG_E_INVALIDFUNCTION, "Unable to perform requested operation."},
    {VFW_E_INVALIDMEDIATYPE, "An invalid media type was specified."},
    {VFW_E_ALREADY_CONNECTED, "The operation cannot be performed because the pins are already connected."},
    {VFW_E_NO_ACCEPTABLE_TYPES, "No combination of media types was found that both pins accept."},
    {VFW_E_INVALID_DIRECTION, "The two pins have the same direction."},
    {VFW_E_NOT_CONNECTED, "The operation cannot be performed because the pins are not connected."},
    {VFW_E_RUNTIME_ERROR, "A run-time error occurred."},
    {VFW_E_NOT_FOUND, "An object or name was not found."},
    {VFW_E_CANNOT_CONNECT, "No combination of intermediate filters could be found to make the connection."},
    {VFW_E_CANNOT_RENDER, "No combination of filters could be found to render the stream."},
    {VFW_E_NOT_STOPPED, "The operation could not be performed because the filter is not stopped."},
    {VFW_E_WRONG_STATE, "The operation could not be performed because the filter is in the wrong state."},
    {VFW_E_TYPE_NOT_ACCEPTED, "This pin cannot use the supplied media type."},
    {VFW_E_NOT_IN_GRAPH, "Cannot perform the requested function on an object that is not in the filter graph."},
    {VFW_E_NO_CAPTURE_HARDWARE, "A capture device was not found, or it is not functioning."},
    {VFW_S_DUPLICATE_NAME, "A filter with the same name was already in the graph; a number was added to the name."},
    {VFW_S_NOPREVIEWPIN, "The preview was rendered through the smart tee filter because the capture device has no preview pin."},
    {E_PROP_SET_UNSUPPORTED, "The property set is not supported."},
    {E_PROP_ID_UNSUPPORTED, "The property is not supported by the device."},
    {HRESULT_FILE_NOT_FOUND, "The system cannot find the file specified."},
    {HRESULT_DEVICE_BUSY, "The requested resource is in use."},
    {HRESULT_DEVICE_FAILURE, "A device attached to the system is not functioning."},
    {HRESULT_NOT_SUPPORTED, "The request is not supported."},
    {HRESULT_DEVICE_NOT_CONNECTED, "The device is not connected."},
};
} // namespace

DWORD AMGetErrorTextA(HRESULT code, char* buffer, DWORD maxLength)
{
    if (!buffer || maxLength == 0)
        return 0;
    buffer[0] = '\0';
    const auto* it = std::find_if(std::begin(kTexts), std::end(kTexts), [code](const ErrorTextEntry& e) { return e.code == code; });
    if (it == std::end(kTexts))
        return 0;
    const size_t n = std::min<size_t>(std::strlen(it->text), maxLength - 1);
    std::memcpy(buffer, it->text, n);
    buffer[n] = '\0';
    return static_cast<DWORD>(n);
}
