// Makes the framework's classes known to CoCreateInstance.

#include "platform/dshow/Filters.h"

#include <mutex>

void RegisterMediaFrameworkClasses()
{
    static std::once_flag once;
    std::call_once(once, [] {
        RegisterDeviceEnumClasses();
        CoRegisterClass(CLSID_FilterGraph, &CreateFilterGraphManager);
        CoRegisterClass(CLSID_CaptureGraphBuilder2, &CreateCaptureGraphBuilder);
        CoRegisterClass(CLSID_SmartTee, &CreateSmartTee);
        CoRegisterClass(CLSID_Colour, &CreateColourConverter);
        CoRegisterClass(CLSID_VideoRenderer, &CreateVideoRenderer);
        CoRegisterClass(CLSID_VideoMixingRenderer9, &CreateVideoMixingRenderer9);
        CoRegisterClass(CLSID_LumoraTestSource, &CreateTestPatternSource);
    });
}
