// Resource ids of the agent's executable: the hidden dialog, the icon group and
// the popup menu's command.
#pragma once

#define IDI_TALVERN 108
#define IDD_TRAY 129
#define IDM_SHOW 32770
#define IDM_EXIT 32771
