// The window's non-visual components: created with the window, destroyed
// before it (members leave their graph before the graph goes).
#include "app/Unit1.h"

#include "media/SysDevEnum.h"

void TForm1::CreateComponents() {}

void TForm1::DestroyComponents()
{
    DeviceEnum.reset();
}
