#pragma once
#define IDR_MENU_TRAY 110
#define IDM_EXIT 111
#define IDI_IDLE 120
#define IDI_BUSY 121
