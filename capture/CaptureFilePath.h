#pragma once
// Which capture file paths name a device rather than a file. The settings key is writable
// by every local user, so a collector running as administrator must not be pointed at a
// disk, a port or a console through its capture file.

// True for a path in the device namespaces ("\\.\...", "\\?\..." or "\??\..." not followed
// by a drive path) and for a reserved DOS device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$,
// COM1-COM9, LPT1-LPT9) as the last component, with or without an extension or a directory.
// Forward slashes count as backslashes, as they do for the system.
bool IsDevicePath(const char* path);
