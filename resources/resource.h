#pragma once
// Identifiers of the program's own resources.
#define IDS_FOLDER_NAME 2001
#define IDS_DISPLAY_NAME 2002
#define IDS_PRODUCT_GUID 2003
#define IDS_SKIP_TRAY 2004
#define IDS_TOOLS_NAME 2005
#define IDS_LAUNCHER_EXE 2006
#define IDS_SUITE_NAME 2007
#define IDS_SUITE_SERVICE_NAME 2008
#define IDS_SUITE_SERVICE_EXE 2009
