#pragma once
// Registers the documents compiled into the program: TEMPLATE (the sample web
// page template) and MYUSERDATA (the help page).
void RegisterEmbeddedResources();
