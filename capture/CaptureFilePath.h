#pragma once
#include <windows.h>

#include <string>

// Which capture file paths the collector refuses. The settings key is writable by every
// local user, so a collector running as administrator must not be pointed at a disk, a port
// or a console, nor at a file of the system or of an installed program, through its capture
// file: the capture truncates it.

// True for a path in the device namespaces ("\\.\...", "\\?\..." or "\??\..." not followed
// by a drive path) and for a reserved DOS device name (CON, PRN, AUX, NUL, CONIN$, CONOUT$,
// COM1-COM9, LPT1-LPT9) as the last component, with or without an extension or a directory.
// Forward slashes count as backslashes, as they do for the system.
bool IsDevicePath(const char* path);

// True for a path inside the Windows folder, the system folders or the program-files folders
// (compared as full paths, case-insensitively, and by identity for the folders that exist on
// the way, so that short names, links and shares that reach the same folder count), for a
// name with an executable extension (.exe, .dll, .sys, .com, .bat, .cmd, .ps1, .msi, .scr;
// whether or not the file exists yet), and for an existing file with the system attribute.
bool IsProtectedPath(const char* path);

// The check made before the capture file is opened: a device path or a protected one, or a
// path whose existing folder leads, through a junction, symbolic link or mount point, into a
// protected folder.
bool IsRefusedCapturePath(const char* path);

// The path the system resolved for an open file or folder (links followed), as a drive path
// or "\\server\share\..."; empty when it cannot be had.
std::string FinalPathOf(HANDLE file);

// The check made on the opened capture file: true when its final path is refused, or unknown.
bool IsRefusedOpenedFile(HANDLE file);
