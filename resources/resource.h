// Resource identifiers of RestLevel.exe, shared by the resource script and
// the window code.
#pragma once

// The program icon comes first, so that Explorer shows it for the file.
#define IDI_RESTLEVEL 1
// The tray images by index: watching, rest level in force, disabled.
#define IDI_TRAY_WATCHING 2
#define IDI_TRAY_RESTING 3
#define IDI_TRAY_DISABLED 4
