#pragma once
// The numbers of the COM ports present, in the order the system lists them.
#include "platform/UIntArray.h"

#include <windows.h>

// Empties ports, then appends every port found. Throws nothing.
void EnumerateSerialPorts(CUIntArray& ports);

// Appends the port numbers named in a DOS device list (NUL-separated names ended by an
// empty name, as QueryDosDeviceA(NULL, ...) returns it). length bounds the list.
void ParseDosDeviceNames(const char* list, size_t length, CUIntArray& ports);

// The system's call that lists the DOS device names, QueryDosDeviceA, or a stand-in.
typedef DWORD(WINAPI* DosDeviceQuery)(LPCSTR device, LPSTR buffer, DWORD chars);

// Appends the COM ports of the DOS device table, read through query with a buffer that
// grows while the system reports it too small (machines with many devices need more than
// 65,535 characters), up to a few million characters.
void ListDosDevicePorts(CUIntArray& ports, DosDeviceQuery query = QueryDosDeviceA);

// The strategy for systems without a DOS device table: opens COM1..COM255 in turn.
void ProbeSerialPorts(CUIntArray& ports);
