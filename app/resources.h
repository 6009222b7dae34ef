// The program's resource script: dialog templates, menus and the Qt
// resource file with the artwork. Registered once at start-up.
#pragma once

void RegisterShroudkeepResources();
