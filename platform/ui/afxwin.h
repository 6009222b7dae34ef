// The dialog framework in one include, as the program's sources use it.
#pragma once

#include "platform/ui/controls.h"
#include "platform/ui/dbt.h"
#include "platform/ui/dialog.h"
#include "platform/ui/file_dialog.h"
#include "platform/ui/format_dialog.h"
#include "platform/ui/gdi.h"
#include "platform/ui/menu.h"
#include "platform/ui/shellapi.h"
#include "platform/ui/ui_seam.h"
#include "platform/ui/winuser.h"
#include "platform/ui/wnd.h"
