#include "app/Resources.h"

#include "platform/ui/Resources.h"

#include <string_view>

std::string_view Resource_TEMPLATE();
std::string_view Resource_MYUSERDATA();

void RegisterEmbeddedResources()
{
    RegisterResource("TEMPLATE", Resource_TEMPLATE());
    RegisterResource("MYUSERDATA", Resource_MYUSERDATA());
}
