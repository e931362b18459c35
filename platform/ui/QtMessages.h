#pragma once
// Qt's own debug, info and warning messages (for instance about the runtime
// folder on a headless machine) are kept off the console unless it is
// verbose; critical and fatal messages always show. Call before creating
// the QApplication.

void FilterQtMessages();
